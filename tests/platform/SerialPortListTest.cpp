#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "PtyPair.h"
#include "common/Errors.h"
#include "platform/SerialPort.h"
#include "platform/SerialPortList.h"
#include "platform/SerialPortList_posix.h"
#include "platform/SimulatedPorts.h"

namespace {

namespace fs = std::filesystem;
using namespace klink::platform;
using klink::testing::PtyPair;

std::vector<std::string> Names(const std::vector<SerialPortEntry>& ports) {
    std::vector<std::string> names;
    for (const auto& p : ports) {
        names.push_back(p.name);
    }
    return names;
}

// A private scratch folder, removed again with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "klink-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

TEST(NaturalLess, OrdersNumbersByValue) {
    struct Case {
        const char* a;
        const char* b;
        bool less;
    };
    const Case cases[] = {
        {"ttyUSB2", "ttyUSB10", true},
        {"ttyUSB10", "ttyUSB2", false},
        {"COM9", "COM10", true},
        {"ttyS1", "ttyS1", false},
        {"ttyACM0", "ttyAMA0", true},
        {"ttyS", "ttyS0", true},
        {"ttyUSB007", "ttyUSB8", true},
        {"ttyUSB07", "ttyUSB7", false},
        {"ttyUSB7", "ttyUSB07", true},
        {"com3", "COM10", true},
        {"sim-keltra4-2", "sim-keltra4-10", true},
        {"rfcomm0", "ttyS0", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NaturalLess(c.a, c.b), c.less) << c.a << " < " << c.b;
    }
    std::vector<SerialPortEntry> ports;
    for (const char* n : {"ttyUSB10", "ttyS0", "ttyUSB2", "ttyACM1", "ttyUSB1", "ttyS10", "ttyS2"}) {
        ports.push_back({n, std::string("/dev/") + n, false});
    }
    SortSerialPorts(ports);
    EXPECT_EQ(Names(ports), (std::vector<std::string>{"ttyACM1", "ttyS0", "ttyS2", "ttyS10", "ttyUSB1",
                                                      "ttyUSB2", "ttyUSB10"}));
}

TEST(SerialPortList, ListsSerialDevicesAndSimulatedPortsSortedNaturally) {
    PtyPair board;  // a character device to point the fake entries at
    TempDir dev;
    TempDir sys;
    TempDir sim;
    fs::permissions(sim.Path(), fs::perms::owner_all, fs::perm_options::replace);

    for (const char* n : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyAMA0", "rfcomm1", "ttyS0", "ttyS1", "ttyS2",
                          "tty0", "console", "ttyUSBx", "ptmx"}) {
        fs::create_symlink(board.SlavePath(), dev.Path() / n);
    }
    std::ofstream(dev.Path() / "ttyUSB3") << "a regular file, not a device";
    // ttyS0 has a UART (16550A = 4), ttyS1 none; ttyS2 has no attributes
    // and no device behind its fake name to ask, so it stays.
    for (auto [name, type] : {std::pair{"ttyS0", "4"}, std::pair{"ttyS1", "0"}}) {
        fs::create_directories(sys.Path() / name);
        std::ofstream(sys.Path() / name / "type") << type << '\n';
    }

    (void)CreateSimulatedPortLink(sim.Path(), "sim-keltra4-10", board.SlavePath());
    (void)CreateSimulatedPortLink(sim.Path(), "sim-keltra4-2", board.SlavePath());
    (void)CreateSimulatedPortLink(sim.Path(), "sim-gone", "/dev/klink-no-such-port");
    fs::create_symlink(board.SlavePath(), sim.Path() / "not-sim");
    std::ofstream(sim.Path() / "sim-file") << "not a link";

    const auto ports = ScanSerialPorts({dev.Path(), sys.Path(), sim.Path()});
    EXPECT_EQ(Names(ports), (std::vector<std::string>{"rfcomm1", "sim-keltra4-2", "sim-keltra4-10", "ttyACM0",
                                                      "ttyAMA0", "ttyS0", "ttyS2", "ttyUSB2", "ttyUSB10"}));
    for (const auto& p : ports) {
        const bool simulated = p.name.starts_with("sim-");
        EXPECT_EQ(p.simulated, simulated) << p.name;
        EXPECT_EQ(p.path, ((simulated ? sim.Path() : dev.Path()) / p.name).string());
    }

    // Each listed port really opens by its path.
    UniqueSerialPort port(OpenSerialPort(ports[1].path));
    EXPECT_TRUE(SerialPortPresent(port.Get()));
}

TEST(SimulatedPorts, LinksAreCreatedReplacedAndRemoved) {
    PtyPair first;
    PtyPair second;
    TempDir sim;
    fs::permissions(sim.Path(), fs::perms::owner_all, fs::perm_options::replace);

    const fs::path link = CreateSimulatedPortLink(sim.Path(), "sim-keltra2-1", first.SlavePath());
    EXPECT_EQ(link, sim.Path() / "sim-keltra2-1");
    EXPECT_EQ(fs::read_symlink(link), first.SlavePath());
    (void)CreateSimulatedPortLink(sim.Path(), "sim-keltra2-1", second.SlavePath());
    EXPECT_EQ(fs::read_symlink(link), second.SlavePath());
    EXPECT_EQ(ListSimulatedPorts(sim.Path()).size(), 1u);

    EXPECT_TRUE(RemoveSimulatedPortLink(sim.Path(), "sim-keltra2-1"));
    EXPECT_FALSE(RemoveSimulatedPortLink(sim.Path(), "sim-keltra2-1"));
    EXPECT_TRUE(ListSimulatedPorts(sim.Path()).empty());

    for (const char* bad : {"keltra2", "sim-", "sim-a/b", "../sim-x"}) {
        EXPECT_THROW((void)CreateSimulatedPortLink(sim.Path(), bad, first.SlavePath()),
                     klink::ArgumentOutOfRange)
            << bad;
    }
}

TEST(SimulatedPorts, FolderThatOthersCouldWriteListsNothing) {
    PtyPair board;
    TempDir sim;
    fs::permissions(sim.Path(), fs::perms::owner_all, fs::perm_options::replace);
    (void)CreateSimulatedPortLink(sim.Path(), "sim-keltra4-1", board.SlavePath());
    ASSERT_EQ(ListSimulatedPorts(sim.Path()).size(), 1u);
    fs::permissions(sim.Path(), fs::perms::others_write, fs::perm_options::add);
    EXPECT_TRUE(ListSimulatedPorts(sim.Path()).empty());
    EXPECT_TRUE(ListSimulatedPorts(sim.Path() / "missing").empty());
}

// Restores an environment variable when the test ends.
class EnvScope {
public:
    explicit EnvScope(const char* name) : name_(name) {
        if (const char* v = std::getenv(name)) {
            saved_ = v;
            had_ = true;
        }
    }
    ~EnvScope() {
        if (had_) {
            setenv(name_, saved_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    EnvScope(const EnvScope&) = delete;
    EnvScope& operator=(const EnvScope&) = delete;

private:
    const char* name_;
    std::string saved_;
    bool had_ = false;
};

TEST(SimulatedPorts, FolderIsUnderTheRuntimeDirWhenThatIsUsable) {
    EnvScope env("XDG_RUNTIME_DIR");
    TempDir runtime;
    const fs::path fallback = fs::path("/tmp") / ("klinksim-" + std::to_string(geteuid()));

    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    EXPECT_EQ(SimulatedPortFolder(), runtime.Path() / "klinksim");
    const fs::path made = EnsureSimulatedPortFolder();
    EXPECT_EQ(made, runtime.Path() / "klinksim");
    struct stat st {};
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    PtyPair board;
    const fs::path link = CreateSimulatedPortLink("sim-keltra4-1", board.SlavePath());
    EXPECT_EQ(SerialPortPath("sim-keltra4-1"), link.string());
    const auto all = ListSerialPorts();
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const SerialPortEntry& p) {
        return p.simulated && p.path == link.string();
    }));
    EXPECT_TRUE(RemoveSimulatedPortLink("sim-keltra4-1"));

    for (const char* unusable : {"", "relative/dir", "/klink-no-such-dir"}) {
        setenv("XDG_RUNTIME_DIR", unusable, 1);
        EXPECT_EQ(SimulatedPortFolder(), fallback) << unusable;
    }
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SimulatedPortFolder(), fallback);
}

TEST(SerialPortList, ShortNamesResolveToTheirPaths) {
    EXPECT_EQ(SerialPortPath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialPortPath("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(SerialPortPath("sim-keltra4-1"), (SimulatedPortFolder() / "sim-keltra4-1").string());
    EXPECT_EQ(NamedSerialPortPath(1), "/dev/ttyS0");
}

}  // namespace
