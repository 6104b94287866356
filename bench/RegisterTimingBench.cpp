// Timing of the register path, measured on a simulated board.
//
// A generated YM2151 tune (60 Hz frames of a few writes, about 20 s) plays
// through the playback thread on a klinksim board in a process of its own,
// paced at the line rate, with a trace. For every write from the first
// audible one on:
//   lateness = (board time - board time of the first audible write)
//            - (sample position - its sample position) / 44100 s
// and the same less the wire time of the write's frame at 115200 baud.
// Reported: median, 99th percentile and maximum of both; the drift between
// the first and last tenth of the run (median lateness); and this process's
// CPU time over wall time during the playback (the board's own work runs in
// the klinksim process and is not counted).
//
// Host-side times from the writer's probe split each frame's lateness into
// the playback loop's issue, the writer's hand-off and the pseudo-terminal
// plus board; frames with any part more than 1 ms late are listed on stderr.
// steal_ms is the time the hypervisor held the machine's processors during
// the run: on a virtual machine it alone can make any thread several ms late.
//
//   ./build/bench/timing_bench            (about 45 s)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Bytes.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "platform/Thread.h"
#include "player/PlayerHost.h"
#include "player/VGMPlayerThread.h"
#include "protocol/KLINKCodec.h"
#include "transport/BufferedSerialWriter.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kFrames = 1200;  // 20 s at 60 Hz
constexpr double kBaudBytesPerSecond = 11520.0;

struct TuneWrite {
    uint8_t reg;
    uint8_t value;
    uint64_t sample;
    double wireSeconds;  // of the frame that carries it
};

// The tune and, write by write, where it falls and how long its frame takes
// on the wire.
std::vector<uint8_t> MakeTune(std::vector<TuneWrite>& writes) {
    std::vector<uint8_t> b(0x100, 0);
    b[0] = 'V';
    b[1] = 'g';
    b[2] = 'm';
    b[3] = ' ';
    klink::StoreLE32(b, 0x08, 0x171);
    klink::StoreLE32(b, 0x30, 3579545);
    klink::StoreLE32(b, 0x34, 0x100 - 0x34);
    klink::StoreLE32(b, 0x18, kFrames * 735);
    uint64_t sample = 0;
    uint16_t id = 0;
    auto frame = [&](const std::vector<std::pair<uint8_t, uint8_t>>& regs) {
        std::vector<uint8_t> data;
        for (const auto& [r, v] : regs) {
            b.insert(b.end(), {0x54, r, v});
            data.push_back(r);
            data.push_back(v);
        }
        const size_t wire = klink::EncodeFrame(klink::MessageType::kPacket, klink::WriteOpcode(0x54), ++id,
                                               klink::EncodeRegisterBatch(0, 0, data))
                                .size();
        for (const auto& [r, v] : regs)
            writes.push_back({r, v, sample, static_cast<double>(wire) / kBaudBytesPerSecond});
        b.push_back(0x62);
        sample += 735;
    };
    for (int f = 0; f < kFrames; ++f) {
        const auto ch = static_cast<uint8_t>(f % 8);
        const auto note = static_cast<uint8_t>(0x20 + (f * 7) % 0x5F);
        // Key-on first: audible from the first write, and every frame is one batch.
        frame({{0x08, static_cast<uint8_t>(0x78 | ch)},
               {static_cast<uint8_t>(0x28 + ch), note},
               {static_cast<uint8_t>(0x30 + ch), static_cast<uint8_t>(f & 0xFC)},
               {static_cast<uint8_t>(0x60 + ch), static_cast<uint8_t>(f & 0x7F)}});
    }
    b.push_back(0x66);
    klink::StoreLE32(b, 0x04, static_cast<uint32_t>(b.size() - 4));
    return b;
}

// A host without a window: calls run on the caller's thread.
class BenchHost final : public klink::PlayerHost {
public:
    klink::platform::OSHandle handle = klink::platform::kInvalidOSHandle;
    void Synchronize(const std::function<void()>& call) override {
        std::lock_guard lock(lock_);
        call();
    }
    bool PortConnected(int index) const override {
        return index == 0 && klink::platform::IsValidHandle(handle);
    }
    klink::platform::OSHandle PortHandle(int index) const override {
        return index == 0 ? handle : klink::platform::kInvalidOSHandle;
    }
    std::string PortName(int index) const override { return index == 0 ? "sim" : ""; }
    void AppendLog(const std::string& line) override {
        if (line.rfind("エラー: ", 0) == 0 || line.rfind("Playback thread: ", 0) == 0)
            std::cerr << line << '\n';
    }
    void ClearHeaderAndTags() override {}
    void ShowHeader(const klink::VGMHeaderSummary&) override {}
    void ShowTags(const klink::GD3Strings&) override {}
    void SetFilePath(const std::string&) override {}
    void SetOpenDialogHints(const std::string&, const std::string&) override {}

private:
    std::mutex lock_;
};

// klinksim with one board, in a process of its own.
class SimProcess {
public:
    SimProcess(const std::string& model, const fs::path& trace) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string exe = KLINKSIM_PATH;
        const std::string tracePath = trace.string();
        // The board stands in for hardware with a processor of its own: real-time
        // where allowed, so that a busy machine's compilers do not time it.
        std::vector<char*> argv{const_cast<char*>(exe.c_str()),
                                const_cast<char*>("--board"),
                                const_cast<char*>(model.c_str()),
                                const_cast<char*>("--trace"),
                                const_cast<char*>(tracePath.c_str()),
                                const_cast<char*>("--realtime"),
                                nullptr};
        const int rc = posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            throw std::runtime_error("cannot start " + exe);
        }
        // First line: "<name> <path> (<model>)".
        std::string line;
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        const size_t a = line.find(' ');
        const size_t z = line.find(' ', a + 1);
        if (a == std::string::npos || z == std::string::npos)
            throw std::runtime_error("klinksim said: " + line);
        port_ = line.substr(a + 1, z - a - 1);
    }
    ~SimProcess() { Stop(); }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    const std::string& Port() const { return port_; }

private:
    pid_t pid_ = -1;
    std::string port_;
};

// Host-side times of the frames on their way to the port, recorded by the
// writer's probe without locks or allocation: when the playback loop handed
// each frame to the writer, and when each port write began and returned.
class WriteProbe final : public klink::SerialWriteProbe {
public:
    static constexpr size_t kCapacity = 8192;
    static constexpr size_t kHeadBytes = 64;
    struct EnqueueRecord {
        int64_t counter = 0;
        int32_t bytes = 0;
        std::array<uint8_t, kHeadBytes> head{};
    };
    struct PortWriteRecord {
        int64_t before = 0;
        int64_t after = 0;
        int32_t bytes = 0;
    };

    WriteProbe() : enqueues_(kCapacity), writes_(kCapacity) { klink::SetSerialWriteProbe(this); }
    ~WriteProbe() { klink::SetSerialWriteProbe(nullptr); }
    WriteProbe(const WriteProbe&) = delete;
    WriteProbe& operator=(const WriteProbe&) = delete;

    void Enqueued(int64_t counter, std::span<const uint8_t> data) noexcept override {
        const size_t i = enqueueCount_.fetch_add(1, std::memory_order_relaxed);
        if (i >= kCapacity) return;
        EnqueueRecord& e = enqueues_[i];
        e.counter = counter;
        e.bytes = static_cast<int32_t>(data.size());
        std::copy_n(data.begin(), std::min(data.size(), kHeadBytes), e.head.begin());
    }
    void Written(int64_t before, int64_t after, int32_t bytes) noexcept override {
        const size_t i = writeCount_.fetch_add(1, std::memory_order_relaxed);
        if (i >= kCapacity) return;
        writes_[i] = {before, after, bytes};
    }

    // Read once the writer has shut down.
    [[nodiscard]] std::span<const EnqueueRecord> Enqueues() const {
        return {enqueues_.data(), std::min(enqueueCount_.load(), kCapacity)};
    }
    [[nodiscard]] std::span<const PortWriteRecord> Writes() const {
        return {writes_.data(), std::min(writeCount_.load(), kCapacity)};
    }

private:
    std::vector<EnqueueRecord> enqueues_;
    std::vector<PortWriteRecord> writes_;
    std::atomic<size_t> enqueueCount_{0};
    std::atomic<size_t> writeCount_{0};
};

// One register frame of the tune on the host: when it was issued (handed to
// the writer, or for the direct writer the write call began) and when the
// port write that carried its last byte returned, in counter seconds.
struct HostFrame {
    double issued = 0;
    double written = 0;
};

// The tune's frames in order: the register data of each.
std::vector<std::vector<uint8_t>> FrameData(const std::vector<TuneWrite>& writes) {
    std::vector<std::vector<uint8_t>> frames;
    for (size_t i = 0; i < writes.size();) {
        std::vector<uint8_t> data{0, 0};  // instance, page
        const uint64_t sample = writes[i].sample;
        for (; i < writes.size() && writes[i].sample == sample; ++i) {
            data.push_back(writes[i].reg);
            data.push_back(writes[i].value);
        }
        frames.push_back(std::move(data));
    }
    return frames;
}

// Matches the probe's records to the tune's frames; empty when some frame
// is missing.
std::vector<HostFrame> HostFrames(const WriteProbe& probe, const std::vector<TuneWrite>& writes) {
    const auto frames = FrameData(writes);
    const auto writesDone = probe.Writes();
    const double f = static_cast<double>(klink::platform::PerformanceFrequency());
    std::vector<HostFrame> out;
    uint64_t enqueuedEnd = 0;  // bytes enqueued up to and including this frame
    uint64_t writtenEnd = 0;
    size_t w = 0;
    for (const auto& e : probe.Enqueues()) {
        enqueuedEnd += static_cast<uint64_t>(e.bytes);
        if (out.size() >= frames.size() || static_cast<size_t>(e.bytes) > WriteProbe::kHeadBytes ||
            e.bytes < 2)
            continue;
        klink::KLINKFrame frame;
        const std::span<const uint8_t> body(e.head.data() + 1, static_cast<size_t>(e.bytes) - 2);
        if (!klink::DecodeFrame(body, frame) || frame.opcode != klink::WriteOpcode(0x54) ||
            frame.payload != frames[out.size()])
            continue;
        while (w < writesDone.size() && writtenEnd < enqueuedEnd)
            writtenEnd += static_cast<uint64_t>(writesDone[w++].bytes);
        if (writtenEnd < enqueuedEnd) return {};
        out.push_back({static_cast<double>(e.counter) / f, static_cast<double>(writesDone[w - 1].after) / f});
    }
    if (out.size() != frames.size()) return {};
    return out;
}

double CPUSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Milliseconds the hypervisor kept this machine's processors from running
// (the "steal" column of /proc/stat, all processors together); 0 where unknown.
double StealMs() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    if (!(in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal) || cpu != "cpu")
        return 0;
    return steal * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

double Median(const std::vector<double>& v) { return Percentile(v, 0.5); }

// The board's register writes from the trace, each with the write it should
// be; empty when the trace does not hold every write in order.
std::vector<std::pair<TuneWrite, double>> ReadTrace(const fs::path& path,
                                                    const std::vector<TuneWrite>& expected) {
    std::vector<std::pair<TuneWrite, double>> seen;  // expected write, board seconds
    std::ifstream in(path);
    std::string line;
    size_t next = 0;
    while (std::getline(in, line)) {
        const auto j = nlohmann::json::parse(line);
        if (j.at("op") != "reg") continue;
        if (next >= expected.size() || j.at("reg") != expected[next].reg ||
            j.at("val") != expected[next].value) {
            return {};
        }
        seen.emplace_back(expected[next], j.at("t_us").get<double>() / 1e6);
        ++next;
    }
    if (next != expected.size()) return {};
    return seen;
}

// Lateness of every write from the first audible one on. The board stamps a
// write when the last byte of its frame has arrived, so the origin is the
// first audible write's stamp less its own frame's wire time: lateness then
// includes the write's wire time, and "beyond wire" takes it out again.
void Report(benchmark::State& state, const std::vector<std::pair<TuneWrite, double>>& seen, double wall,
            double cpu) {
    const auto firstAudible = std::find_if(seen.begin(), seen.end(), [](const auto& e) {
        return e.first.reg == 0x08 && (e.first.value & 0x78) != 0;
    });
    std::vector<double> late;
    std::vector<double> beyondWire;
    const double t0 = firstAudible->second - firstAudible->first.wireSeconds;
    const uint64_t s0 = firstAudible->first.sample;
    for (auto it = firstAudible; it != seen.end(); ++it) {
        const auto& [w, t] = *it;
        const double l = (t - t0) - static_cast<double>(w.sample - s0) / 44100.0;
        late.push_back(l * 1000.0);
        beyondWire.push_back((l - w.wireSeconds) * 1000.0);
    }
    const size_t tenth = late.size() / 10;
    const std::vector<double> first(late.begin(), late.begin() + static_cast<std::ptrdiff_t>(tenth));
    const std::vector<double> last(late.end() - static_cast<std::ptrdiff_t>(tenth), late.end());

    state.counters["late_median_ms"] = Median(late);
    state.counters["late_p99_ms"] = Percentile(late, 0.99);
    state.counters["late_max_ms"] = *std::max_element(late.begin(), late.end());
    state.counters["beyond_wire_median_ms"] = Median(beyondWire);
    state.counters["beyond_wire_p99_ms"] = Percentile(beyondWire, 0.99);
    state.counters["beyond_wire_max_ms"] = *std::max_element(beyondWire.begin(), beyondWire.end());
    state.counters["drift_ms"] = Median(last) - Median(first);
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["writes"] = static_cast<double>(late.size());
}

// Where the lateness arises, frame by frame: the issue time against the
// deadline (the playback loop or the direct writer's own wake-up), the time
// from issue until the port write returned (writer thread hand-off and the
// write call), and the time from there until the board saw the frame begin
// (pseudo-terminal and the board's own wake-up). Each is given as its excess
// over its median, which takes out the fixed offset between the host's and
// the board's clocks; frames with any part more than 1 ms late are listed.
void ReportHost(benchmark::State& state, const std::vector<std::pair<TuneWrite, double>>& seen,
                const std::vector<HostFrame>& host, const char* name) {
    std::vector<double> board;  // board time at which each frame began to arrive
    std::vector<double> due;    // its sample position in seconds
    for (size_t i = 0; i < seen.size(); ++i) {
        if (i > 0 && seen[i].first.sample == seen[i - 1].first.sample) continue;
        board.push_back(seen[i].second - seen[i].first.wireSeconds);
        due.push_back(static_cast<double>(seen[i].first.sample) / 44100.0);
    }
    if (board.size() != host.size() || host.empty()) return;
    std::vector<double> beyond, issue, handoff, transit;
    for (size_t k = 0; k < host.size(); ++k) {
        const double d = due[k] - due[0];
        beyond.push_back((board[k] - board[0] - d) * 1000.0);
        issue.push_back((host[k].issued - host[0].issued - d) * 1000.0);
        handoff.push_back((host[k].written - host[k].issued) * 1000.0);
        transit.push_back((board[k] - host[k].written) * 1000.0);
    }
    auto excess = [](std::vector<double> v) {
        const double m = Median(v);
        for (double& x : v) x -= m;
        return v;
    };
    beyond = excess(beyond);
    issue = excess(issue);
    handoff = excess(handoff);
    transit = excess(transit);
    state.counters["issue_p99_ms"] = Percentile(issue, 0.99);
    state.counters["issue_max_ms"] = *std::max_element(issue.begin(), issue.end());
    state.counters["handoff_p99_ms"] = Percentile(handoff, 0.99);
    state.counters["handoff_max_ms"] = *std::max_element(handoff.begin(), handoff.end());
    state.counters["pty_board_p99_ms"] = Percentile(transit, 0.99);
    state.counters["pty_board_max_ms"] = *std::max_element(transit.begin(), transit.end());
    for (size_t k = 0; k < host.size(); ++k) {
        if (std::max({beyond[k], issue[k], handoff[k], transit[k]}) <= 1.0) continue;
        std::cerr << fmt::format(
            "{}: frame {} at {:.3f} s is {:.2f} ms late: issue {:+.2f}, hand-off {:+.2f}, "
            "pty/board {:+.2f} ms\n",
            name, k, due[k] - due[0], beyond[k], issue[k], handoff[k], transit[k]);
    }
}

void BM_RegisterPlaybackTiming(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / fmt::format("klink_timing_bench_{}", getpid());
    fs::create_directories(dir);
    std::vector<TuneWrite> expected;
    const fs::path tune = dir / "timing.vgm";
    {
        const auto bytes = MakeTune(expected);
        std::ofstream(tune, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const fs::path tracePath = dir / "trace.jsonl";

    for (auto _ : state) {
        SimProcess sim("Keltra 4", tracePath);
        klink::platform::UniqueSerialPort port(klink::platform::OpenSerialPort(sim.Port()));
        klink::platform::ConfigureSerialPort(port.Get(), klink::platform::SerialLineSettings{});
        klink::ConfigureWriteTimeouts(port.Get());
        BenchHost host;
        host.handle = port.Get();

        WriteProbe probe;
        klink::VGMPlayerThread thread(host, tune.string(), 1, 0);
        const double steal0 = StealMs();
        const double cpu0 = CPUSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        thread.Start();
        while (!thread.WaitFor(1000)) {
        }
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        const double cpu = CPUSeconds() - cpu0;
        state.counters["steal_ms"] = StealMs() - steal0;
        if (!thread.PlaybackError().empty()) {
            state.SkipWithError(thread.PlaybackError().c_str());
            break;
        }
        port.Close();
        sim.Stop();

        const auto seen = ReadTrace(tracePath, expected);
        if (seen.empty()) {
            state.SkipWithError("the trace does not hold every write in order");
            break;
        }
        Report(state, seen, wall, cpu);
        ReportHost(state, seen, HostFrames(probe, expected), "player");
        state.SetIterationTime(wall);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

BENCHMARK(BM_RegisterPlaybackTiming)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The floor the board and the machine set: the same frames written straight
// to the port at their exact times from a plain thread (sleep, then spin on
// the clock), with no player, link or writer thread in between. Lateness
// seen here is the simulated board's and the scheduler's, not the player's.
void BM_DirectWriteTiming(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / fmt::format("klink_timing_direct_{}", getpid());
    fs::create_directories(dir);
    std::vector<TuneWrite> expected;
    (void)MakeTune(expected);
    const fs::path tracePath = dir / "trace.jsonl";

    for (auto _ : state) {
        SimProcess sim("Keltra 4", tracePath);
        klink::platform::UniqueSerialPort port(klink::platform::OpenSerialPort(sim.Port()));
        klink::platform::ConfigureSerialPort(port.Get(), klink::platform::SerialLineSettings{});
        klink::ConfigureWriteTimeouts(port.Get());

        using Clock = std::chrono::steady_clock;
        // The same scheduling as the playback thread gets, and the same end of
        // each wait spent spinning (none when real-time): the floor with the
        // same privileges.
        (void)klink::platform::SetCurrentThreadPriority(klink::platform::ThreadPriority::kPlayback);
        const auto spin = klink::platform::CurrentThreadIsRealtime() ? std::chrono::microseconds(0)
                                                                     : std::chrono::microseconds(2000);
        std::cerr << "Direct writer: " << klink::platform::DescribeCurrentThreadScheduling() << '\n';
        const double steal0 = StealMs();
        const double cpu0 = CPUSeconds();
        const auto start = Clock::now() + std::chrono::milliseconds(50);
        uint16_t id = 0;
        std::vector<HostFrame> host;
        host.reserve(kFrames);
        const double f = static_cast<double>(klink::platform::PerformanceFrequency());
        for (size_t i = 0; i < expected.size();) {
            std::vector<uint8_t> data;
            const uint64_t sample = expected[i].sample;
            for (; i < expected.size() && expected[i].sample == sample; ++i) {
                data.push_back(expected[i].reg);
                data.push_back(expected[i].value);
            }
            const auto frame = klink::EncodeFrame(klink::MessageType::kPacket, klink::WriteOpcode(0x54), ++id,
                                                  klink::EncodeRegisterBatch(0, 0, data));
            const auto due = start + std::chrono::nanoseconds(sample * 1000000000ull / 44100);
            std::this_thread::sleep_until(due - spin);
            while (Clock::now() < due) {
            }
            const auto issued = klink::platform::PerformanceCounter();
            (void)klink::platform::WriteSerialPort(port.Get(), frame);
            host.push_back({static_cast<double>(issued) / f,
                            static_cast<double>(klink::platform::PerformanceCounter()) / f});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = CPUSeconds() - cpu0;
        state.counters["steal_ms"] = StealMs() - steal0;
        (void)klink::platform::SetCurrentThreadPriority(klink::platform::ThreadPriority::kNormal);
        port.Close();
        sim.Stop();
        const auto seen = ReadTrace(tracePath, expected);
        if (seen.empty()) {
            state.SkipWithError("the trace does not hold every write in order");
            break;
        }
        Report(state, seen, wall, cpu);
        ReportHost(state, seen, host, "direct");
        state.SetIterationTime(wall);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

BENCHMARK(BM_DirectWriteTiming)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
