#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "common/Errors.h"
#include "ui/KLINKSession.h"

namespace klink {
namespace {

namespace fs = std::filesystem;

// A private folder under the system's temp folder, removed afterwards.
class SessionFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "klink-session-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        file_ = (dir_ / "session.json").string();
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, ec);
        fs::remove_all(dir_, ec);
    }

    void Write(const std::string& text) const {
        std::ofstream out(file_, std::ios::binary);
        out << text;
    }
    [[nodiscard]] std::string Read() const {
        std::ifstream in(file_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // The failure message of loading `text`, or "" when it loads.
    std::string LoadFailure(const std::string& text) {
        Write(text);
        try {
            (void)LoadSession(file_);
        } catch (const ReadError& e) {
            return e.what();
        }
        return "";
    }
    [[nodiscard]] size_t EntriesInFolder() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
    std::string file_;
};

TEST(KLINKSession, DefaultRecord) {
    KLINKSessionState d = DefaultSession();
    EXPECT_TRUE(d.comPort.empty());
    EXPECT_TRUE(d.comPort2.empty());
    EXPECT_FALSE(d.hasWindowBounds);
    EXPECT_FALSE(d.maximized);
    EXPECT_EQ(d.left + d.top + d.width + d.height, 0);
    EXPECT_EQ(d.repeatIndex, 0);
    EXPECT_EQ(d.fadeIndex, 4);
    EXPECT_TRUE(d.playlist.empty());
    EXPECT_EQ(d.lastTrackIndex, -1);
    EXPECT_EQ(d.selectedIndex, -1);
}

TEST(KLINKSession, FilePathFollowsTheConfigFolder) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", "/tmp/klink-cfg-test", 1);
    EXPECT_EQ(SessionFilePath(), "/tmp/klink-cfg-test/KLINKdev/session.json");
    // A relative value is not a valid config folder: fall back to ~/.config.
    setenv("XDG_CONFIG_HOME", "relative", 1);
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    if (!home.empty()) {
        EXPECT_EQ(SessionFilePath(), home + "/.config/KLINKdev/session.json");
    }
    if (old) {
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
}

TEST_F(SessionFileTest, MissingFileGivesNoRecord) { EXPECT_FALSE(LoadSession(file_).has_value()); }

TEST_F(SessionFileTest, SchemaOnlyLoadsAsDefaults) {
    Write(R"({"schema":1})");
    const std::optional<KLINKSessionState> state = LoadSession(file_);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(*state, DefaultSession());
}

// The timing choice is a member of its own after the others: a file
// without it (an older one) reads as "auto", and so does a value this
// program does not know.
TEST_F(SessionFileTest, TimingReadsAsAutoUnlessKnown) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"schema":1})", "auto"},
        {R"({"schema":1,"timing":"host"})", "host"},
        {R"({"schema":1,"timing":"board"})", "board"},
        {R"({"schema":1,"timing":"auto"})", "auto"},
        {R"({"schema":1,"timing":"Host"})", "auto"},
        {R"({"schema":1,"timing":""})", "auto"},
    };
    for (const auto& [text, timing] : cases) {
        Write(text);
        const std::optional<KLINKSessionState> state = LoadSession(file_);
        ASSERT_TRUE(state.has_value()) << text;
        EXPECT_EQ(state->timing, timing) << text;
    }
}

TEST_F(SessionFileTest, DamagedFilesFailWithTheirMessage) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"", "Invalid session JSON."},
        {"not json", "Invalid session JSON."},
        {"[1,2]", "Invalid session JSON."},
        {"\"text\"", "Invalid session JSON."},
        {R"({"schema":1)", "Invalid session JSON."},
        {R"({"schema":1} trailing)", "Invalid session JSON."},
        {"\xEF\xBB\xBF\xEF\xBB\xBF{\"schema\":1}", "Invalid session JSON."},  // only one mark is skipped
        {"\xFF\xFE{\0\"\0", "Invalid session JSON."},                         // UTF-16 is not read
        {R"({})", "Unknown session schema."},
        {R"({"schema":2})", "Unknown session schema."},
        {R"({"schema":0})", "Unknown session schema."},
        {R"({"schema":"1"})", "Invalid session integer: schema"},
        {R"({"schema":1.0})", "Invalid session integer: schema"},
        {R"({"schema":1,"window":[]})", "Invalid session window."},
        {R"({"schema":1,"window":null})", "Invalid session window."},
        {R"({"schema":1,"playlist":{}})", "Invalid session playlist."},
        {R"({"schema":1,"playlist":["a.vgm"]})", "Invalid session track."},
        {R"({"schema":1,"playlist":[{"title":"x"}]})", "Empty session track path."},
        {R"({"schema":1,"playlist":[{"path":""}]})", "Empty session track path."},
        {R"({"schema":1,"playlist":[{"path":"/a.vgm"},{"path":1}]})", "Invalid session string: path"},
        {R"({"schema":1,"last_track":"a.vgm"})", "Invalid last session track."},
        {R"({"schema":1,"last_track":{"index":"3"}})", "Invalid session integer: index"},
        {R"({"schema":1,"com_port":3})", "Invalid session string: com_port"},
        {R"({"schema":1,"com_port_2":null})", "Invalid session string: com_port_2"},
        {R"({"schema":1,"com_port":true})", "Invalid session string: com_port"},
        {R"({"schema":1,"playlist":[{"path":"/a","title":[]}]})", "Invalid session string: title"},
        {R"({"schema":1,"playlist":[{"path":"/a","game":{}}]})", "Invalid session string: game"},
        {R"({"schema":1,"window":{"maximized":true}})", "Invalid session integer: maximized"},
        {R"({"schema":1,"selected_index":null})", "Invalid session integer: selected_index"},
        {R"({"schema":1,"timing":1})", "Invalid session string: timing"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        if (text.rfind("\xFF\xFE", 0) == 0) {
            text.assign("\xFF\xFE{\0\"\0", 6);
        }
        EXPECT_EQ(LoadFailure(text), c.message) << "file: " << c.text;
    }
}

TEST_F(SessionFileTest, IntegersMustBePlain32BitDecimals) {
    struct Case {
        const char* number;
        bool valid;
        int32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"-0", true, 0},
        {"7", true, 7},
        {"-1", true, -1},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"4294967296", false, 0},
        {"18446744073709551615", false, 0},
        {"99999999999999999999999999", false, 0},
        {"1.5", false, 0},
        {"1.0", false, 0},
        {"1e2", false, 0},
        {"1E2", false, 0},
        {"1e-0", false, 0},
        {"-0.0", false, 0},
        {"1e400", false, 0},  // overflows a double: still a number, just not an integer
    };
    for (const Case& c : cases) {
        Write(std::string(R"({"schema":1,"selected_index":)") + c.number + "}");
        if (c.valid) {
            std::optional<KLINKSessionState> state;
            EXPECT_NO_THROW(state = LoadSession(file_)) << c.number;
            ASSERT_TRUE(state.has_value()) << c.number;
            EXPECT_EQ(state->selectedIndex, c.value) << c.number;
        } else {
            try {
                (void)LoadSession(file_);
                ADD_FAILURE() << c.number << " was accepted";
            } catch (const ReadError& e) {
                EXPECT_STREQ(e.what(), "Invalid session integer: selected_index") << c.number;
            }
        }
    }
    // Numbers inside strings are text, not numbers.
    Write(R"({"schema":1,"com_port":"1.5e3","selected_index":2})");
    const std::optional<KLINKSessionState> state = LoadSession(file_);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->comPort, "1.5e3");
    EXPECT_EQ(state->selectedIndex, 2);
}

TEST_F(SessionFileTest, MemberReadersTakeDefaultsForAbsentMembers) {
    nlohmann::json object = nlohmann::json::object();
    EXPECT_EQ(ReadSessionString(object, "x", "def"), "def");
    EXPECT_EQ(ReadSessionInteger(object, "x", 42), 42);
    object["x"] = "text";
    EXPECT_EQ(ReadSessionString(object, "x", "def"), "text");
    EXPECT_THROW((void)ReadSessionInteger(object, "x", 0), ReadError);
}

TEST_F(SessionFileTest, SelectorIndexesOutOfRangeTakeTheirDefaults) {
    struct Case {
        const char* repeat;
        const char* fade;
        int32_t repeatIndex;
        int32_t fadeIndex;
    };
    const Case cases[] = {
        {"-1", "9", 0, 4}, {"6", "-1", 0, 4}, {"5", "0", 5, 0}, {"0", "5", 0, 5}, {"3", "6", 3, 4},
    };
    for (const Case& c : cases) {
        Write(std::string(R"({"schema":1,"repeat_index":)") + c.repeat + R"(,"fade_index":)" + c.fade + "}");
        const std::optional<KLINKSessionState> state = LoadSession(file_);
        ASSERT_TRUE(state.has_value());
        EXPECT_EQ(state->repeatIndex, c.repeatIndex) << c.repeat;
        EXPECT_EQ(state->fadeIndex, c.fadeIndex) << c.fade;
    }
}

TEST_F(SessionFileTest, WindowMember) {
    Write(R"({"schema":1,"window":{"left":-20,"top":10,"width":1109,"height":900,"maximized":1}})");
    std::optional<KLINKSessionState> state = LoadSession(file_);
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->hasWindowBounds);
    EXPECT_TRUE(state->maximized);
    EXPECT_EQ(state->left, -20);
    EXPECT_EQ(state->top, 10);
    EXPECT_EQ(state->width, 1109);
    EXPECT_EQ(state->height, 900);

    // Only 1 means maximized.
    Write(R"({"schema":1,"window":{"width":5,"height":5,"maximized":2}})");
    state = LoadSession(file_);
    ASSERT_TRUE(state.has_value());
    EXPECT_FALSE(state->maximized);

    // A zero width means no usable bounds, and then no "window" member is saved.
    Write(R"({"schema":1,"window":{"left":3,"top":4,"width":0,"height":900}})");
    state = LoadSession(file_);
    ASSERT_TRUE(state.has_value());
    EXPECT_FALSE(state->hasWindowBounds);
    SaveSession(file_, *state);
    EXPECT_EQ(Read().find("window"), std::string::npos);
}

TEST_F(SessionFileTest, TrackWithOnlyAPathTakesItsFileNameAsTitle) {
    Write(R"({"schema":1,"playlist":[{"path":"/music/sub/song.vgz"}],"unknown":[1,{"a":null}]})");
    const std::optional<KLINKSessionState> state = LoadSession(file_);
    ASSERT_TRUE(state.has_value());
    ASSERT_EQ(state->playlist.size(), 1u);
    EXPECT_EQ(state->playlist[0].path, "/music/sub/song.vgz");
    EXPECT_EQ(state->playlist[0].title, "song.vgz");
    EXPECT_EQ(state->playlist[0].gameName, "");
}

TEST_F(SessionFileTest, ByteOrderMarkIsSkipped) {
    Write("\xEF\xBB\xBF{\"schema\":1,\"com_port\":\"COM3\"}");
    const std::optional<KLINKSessionState> state = LoadSession(file_);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->comPort, "COM3");
}

TEST_F(SessionFileTest, SavedTextIsExact) {
    KLINKSessionState state = DefaultSession();
    state.comPort = "sim-keltra4-1";
    state.comPort2 = "COM3";
    state.hasWindowBounds = true;
    state.left = -8;
    state.top = 20;
    state.width = 1109;
    state.height = 850;
    state.repeatIndex = 5;
    state.fadeIndex = 0;
    state.playlist = {{"/a/b.vgm", "B", "G"}, {"/c.vgz", "", ""}};
    state.lastTrackPath = "/c.vgz";
    state.lastTrackIndex = 1;
    state.selectedIndex = 0;
    state.timing = "board";
    SaveSession(file_, state);
    EXPECT_EQ(
        Read(),
        R"({"schema":1,"com_port":"sim-keltra4-1","com_port_2":"COM3","repeat_index":5,"fade_index":0,)"
        R"("window":{"left":-8,"top":20,"width":1109,"height":850,"maximized":0},)"
        R"("playlist":[{"path":"/a/b.vgm","title":"B","game":"G"},{"path":"/c.vgz","title":"","game":""}],)"
        R"("last_track":{"path":"/c.vgz","index":1},"selected_index":0,"timing":"board"})");
    const std::optional<KLINKSessionState> back = LoadSession(file_);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, state);

    // The defaults: an empty playlist is still written.
    SaveSession(file_, DefaultSession());
    EXPECT_EQ(Read(),
              R"({"schema":1,"com_port":"","com_port_2":"","repeat_index":0,"fade_index":4,"playlist":[],)"
              R"("last_track":{"path":"","index":-1},"selected_index":-1,"timing":"auto"})");
}

TEST(KLINKSessionEscape, EscapesAsTheFileRequires) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain / text", R"("plain / text")"},
        {"q\"b\\", R"("q\"b\\")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string("\x01\x1F", 2), R"("\u0001\u001F")"},
        {std::string("a\0b", 3), R"("a\u0000b")"},
        {"\x7F", "\"\x7F\""},
        {"\xC3\xA9", R"("\u00E9")"},
        {"曲名", R"("\u66F2\u540D")"},
        {"\xF0\x9F\x8E\xB5", R"("\uD83C\uDFB5")"},  // outside the BMP: a surrogate pair
        {"\xFF", R"("\uFFFD")"},                    // not UTF-8
        {"\xE3\x81", R"("\uFFFD\uFFFD")"},          // cut short
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EscapeSessionString(c.in), c.out) << c.in;
    }
}

TEST_F(SessionFileTest, JapaneseTitlesRoundTripAsPlainASCII) {
    KLINKSessionState state;
    state.playlist = {{"/曲/ゲーム.vgm", "オープニング \"テーマ\"", "ゲーム名\tβ"}};
    state.lastTrackPath = "/曲/ゲーム.vgm";
    state.lastTrackIndex = 0;
    SaveSession(file_, state);
    std::string text = Read();
    for (unsigned char c : text) {
        ASSERT_LT(c, 0x80) << "the file must be plain ASCII";
    }
    EXPECT_NE(text.find(R"(\u30AA\u30FC\u30D7\u30CB\u30F3\u30B0)"), std::string::npos);
    const std::optional<KLINKSessionState> back = LoadSession(file_);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, state);
}

TEST_F(SessionFileTest, SavingCreatesMissingFolders) {
    std::string nested = (dir_ / "a" / "b" / "session.json").string();
    SaveSession(nested, DefaultSession());
    EXPECT_TRUE(LoadSession(nested).has_value());
}

TEST_F(SessionFileTest, FolderThatCannotBeCreated) {
    Write("x");  // a file where a folder would have to be
    try {
        SaveSession((fs::path(file_) / "sub" / "session.json").string(), DefaultSession());
        FAIL() << "saved below a file";
    } catch (const WriteError& e) {
        EXPECT_STREQ(e.what(), "Cannot create session folder.");
    }
}

TEST_F(SessionFileTest, FailedMoveKeepsTheOldFileAndLeavesNoTemporary) {
    // The "session file" is a folder with content: the move onto it fails.
    fs::create_directories(fs::path(file_) / "keep");
    try {
        SaveSession(file_, DefaultSession());
        FAIL() << "moved onto a folder";
    } catch (const OSError& e) {
        EXPECT_FALSE(std::string(e.what()).empty());
    }
    EXPECT_TRUE(fs::is_directory(fs::path(file_) / "keep"));
    EXPECT_EQ(EntriesInFolder(), 1u) << "a temporary file was left behind";
}

TEST_F(SessionFileTest, FailedWriteKeepsTheOldFile) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind the superuser";
    }
    SaveSession(file_, DefaultSession());
    std::string before = Read();
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    KLINKSessionState state;
    state.comPort = "COM1";
    EXPECT_THROW(SaveSession(file_, state), OSError);
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(Read(), before);
    EXPECT_EQ(EntriesInFolder(), 1u);
}

TEST_F(SessionFileTest, WriteCutShortKeepsTheOldFileAndLeavesNoTemporary) {
    // A file-size limit makes the write of the temporary file fail part-way,
    // even for the superuser.
    SaveSession(file_, DefaultSession());
    std::string before = Read();
    KLINKSessionState big;
    big.playlist.assign(200, KLINKSessionTrack{"/music/a-long-enough-path.vgm", "title", "game"});
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = static_cast<rlim_t>(before.size() + 16);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool failed = false;
    try {
        SaveSession(file_, big);
    } catch (const OSError& e) {
        failed = true;
        EXPECT_STREQ(e.what(), "File too large");
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(failed);
    EXPECT_EQ(Read(), before);
    EXPECT_EQ(EntriesInFolder(), 1u) << "a temporary file was left behind";
}

TEST_F(SessionFileTest, SaveReplacesTheOldFileAndLeavesOnlyIt) {
    KLINKSessionState state;
    state.comPort = "first";
    SaveSession(file_, state);
    state.comPort = "second";
    SaveSession(file_, state);
    const std::optional<KLINKSessionState> back = LoadSession(file_);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->comPort, "second");
    EXPECT_EQ(EntriesInFolder(), 1u);
}

// Session number `n`: big enough that a save takes a while, and every part
// of it tells which save it came from.
KLINKSessionState NumberedSession(int n) {
    KLINKSessionState state;
    state.comPort = "COM" + std::to_string(n);
    state.comPort2 = "sim-" + std::to_string(n);
    state.repeatIndex = n % 6;
    for (int i = 0; i < 300; ++i) {
        const std::string tag = std::to_string(n) + "-" + std::to_string(i);
        state.playlist.push_back({"/music/" + tag + ".vgm", "title " + tag, "game " + tag});
    }
    state.lastTrackIndex = n % 300;
    state.lastTrackPath = state.playlist[static_cast<size_t>(state.lastTrackIndex)].path;
    return state;
}

// A process that saves over and over is killed (SIGKILL) at varying points of
// a save: what is on disk is always a whole session, the last one saved or
// the one being saved, never a mix or a torn file.
TEST_F(SessionFileTest, KilledWhileSavingLeavesTheOldOrTheNewSession) {
    // How long one save takes here, to spread the kills over it.
    const auto before = std::chrono::steady_clock::now();
    for (int i = 4; i >= 0; --i) SaveSession(file_, NumberedSession(0));
    const auto oneSave = (std::chrono::steady_clock::now() - before) / 5;
    int last = 0;
    int inFlightKept = 0;  // kills after the move of the save they cut off
    for (int round = 0; round < 24; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            // One byte after each completed save.
            for (int n = last + 1;; ++n) {
                try {
                    SaveSession(file_, NumberedSession(n));
                } catch (...) {
                    _exit(2);
                }
                const char done = 'x';
                if (write(ready[1], &done, 1) != 1) _exit(3);
            }
        }
        close(ready[1]);
        const int saves = 1 + round % 3;
        for (int i = 0; i < saves; ++i) {
            char done = 0;
            ASSERT_EQ(read(ready[0], &done, 1), 1) << "the saving process died";
        }
        // Spread the kills over the next save: its text, write, flush and move.
        std::this_thread::sleep_for(oneSave * (round % 8) / 8);
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the saving process failed";

        // Every save the child finished and reported, up to its end.
        int reported = saves;
        char done = 0;
        while (read(ready[0], &done, 1) == 1) ++reported;
        close(ready[0]);

        const std::optional<KLINKSessionState> loaded = LoadSession(file_);
        ASSERT_TRUE(loaded.has_value());
        ASSERT_EQ(loaded->comPort.rfind("COM", 0), 0u) << loaded->comPort;
        const int n = std::stoi(loaded->comPort.substr(3));
        // The saves the child reported are on disk; the one it was in may be.
        EXPECT_TRUE(n == last + reported || n == last + reported + 1)
            << "round " << round << ": session " << n;
        inFlightKept += n == last + reported + 1;
        EXPECT_EQ(*loaded, NumberedSession(n)) << "round " << round << ": a torn session";
        last = n;
    }
    // A save cut off before its move leaves its temporary file beside the
    // session (the next saves use fresh names); nothing else is there.
    size_t cutOff = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        const std::string name = entry.path().filename().string();
        cutOff += name != "session.json";
        EXPECT_TRUE(name == "session.json" ||
                    (name.rfind("session.json.{", 0) == 0 && name.ends_with("}.tmp")))
            << name;
    }
    std::cout << "24 kills: " << inFlightKept << " after the move of the save they cut off, " << cutOff
              << " before it (a temporary file left)\n";
}

TEST(KLINKSessionGUID, BracedUpperCaseAndFresh) {
    const std::regex form(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})");
    std::string a = NewGUIDText();
    std::string b = NewGUIDText();
    EXPECT_EQ(a.size(), 38u);
    EXPECT_TRUE(std::regex_match(a, form)) << a;
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace klink
