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
//   ./build/bench/timing_bench            (about 25 s)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

#include "platform/SerialPort.h"
#include "player/PlayerHost.h"
#include "player/VGMPlayerThread.h"
#include "protocol/KLINKCodec.h"
#include "transport/BufferedSerialWriter.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kFrames = 1200;  // 20 s at 60 Hz
constexpr double kBaudBytesPerSecond = 11520.0;

struct TWrite {
    uint8_t Reg;
    uint8_t Value;
    uint64_t Sample;
    double WireSeconds;  // of the frame that carries it
};

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// The tune and, write by write, where it falls and how long its frame takes
// on the wire.
std::vector<uint8_t> MakeTune(std::vector<TWrite>& writes) {
    std::vector<uint8_t> b(0x100, 0);
    b[0] = 'V';
    b[1] = 'g';
    b[2] = 'm';
    b[3] = ' ';
    Put32(b, 0x08, 0x171);
    Put32(b, 0x30, 3579545);
    Put32(b, 0x34, 0x100 - 0x34);
    Put32(b, 0x18, kFrames * 735);
    uint64_t sample = 0;
    uint16_t id = 0;
    auto frame = [&](const std::vector<std::pair<uint8_t, uint8_t>>& regs) {
        std::vector<uint8_t> data;
        for (const auto& [r, v] : regs) {
            b.insert(b.end(), {0x54, r, v});
            data.push_back(r);
            data.push_back(v);
        }
        const size_t wire =
            klink::EncodeFrame(klink::KLINK_MSG_PACKET, 0x54, ++id, klink::EncodeRegisterBatch(0, 0, data))
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
    Put32(b, 0x04, static_cast<uint32_t>(b.size() - 4));
    return b;
}

// A host without a window: calls run on the caller's thread.
class TBenchHost final : public klink::IPlayerHost {
public:
    klink::platform::OSHandle Handle = klink::platform::kInvalidOSHandle;
    void Synchronize(const std::function<void()>& call) override {
        std::lock_guard lock(FLock);
        call();
    }
    bool PortConnected(int index) const override {
        return index == 0 && klink::platform::IsValidHandle(Handle);
    }
    klink::platform::OSHandle PortHandle(int index) const override {
        return index == 0 ? Handle : klink::platform::kInvalidOSHandle;
    }
    std::string PortName(int index) const override { return index == 0 ? "sim" : ""; }
    void AppendLog(const std::string& line) override {
        if (line.rfind("エラー: ", 0) == 0) std::cerr << line << '\n';
    }
    void ClearHeaderAndTags() override {}
    void ShowHeader(const klink::TVGMDisplay&) override {}
    void ShowTags(const klink::TGD3Strings&) override {}
    void SetFilePath(const std::string&) override {}
    void SetOpenDialogHints(const std::string&, const std::string&) override {}

private:
    std::mutex FLock;
};

// klinksim with one board, in a process of its own.
class TSimProcess {
public:
    TSimProcess(const std::string& model, const fs::path& trace) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string exe = KLINKSIM_PATH;
        const std::string tracePath = trace.string();
        std::vector<char*> argv{const_cast<char*>(exe.c_str()),       const_cast<char*>("--board"),
                                const_cast<char*>(model.c_str()),     const_cast<char*>("--trace"),
                                const_cast<char*>(tracePath.c_str()), nullptr};
        const int rc = posix_spawn(&FPid, exe.c_str(), &actions, nullptr, argv.data(), environ);
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
        FPort = line.substr(a + 1, z - a - 1);
    }
    ~TSimProcess() { Stop(); }
    void Stop() {
        if (FPid <= 0) return;
        kill(FPid, SIGTERM);
        int status = 0;
        waitpid(FPid, &status, 0);
        FPid = -1;
    }
    const std::string& Port() const { return FPort; }

private:
    pid_t FPid = -1;
    std::string FPort;
};

double CPUSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

double Median(const std::vector<double>& v) { return Percentile(v, 0.5); }

// The board's register writes from the trace, each with the write it should
// be; empty when the trace does not hold every write in order.
std::vector<std::pair<TWrite, double>> ReadTrace(const fs::path& path, const std::vector<TWrite>& expected) {
    std::vector<std::pair<TWrite, double>> seen;  // expected write, board seconds
    std::ifstream in(path);
    std::string line;
    size_t next = 0;
    while (std::getline(in, line)) {
        const auto j = nlohmann::json::parse(line);
        if (j.at("op") != "reg") continue;
        if (next >= expected.size() || j.at("reg") != expected[next].Reg ||
            j.at("val") != expected[next].Value) {
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
void Report(benchmark::State& state, const std::vector<std::pair<TWrite, double>>& seen, double wall,
            double cpu) {
    const auto firstAudible = std::find_if(seen.begin(), seen.end(), [](const auto& e) {
        return e.first.Reg == 0x08 && (e.first.Value & 0x78) != 0;
    });
    std::vector<double> late;
    std::vector<double> beyondWire;
    const double t0 = firstAudible->second - firstAudible->first.WireSeconds;
    const uint64_t s0 = firstAudible->first.Sample;
    for (auto it = firstAudible; it != seen.end(); ++it) {
        const auto& [w, t] = *it;
        const double l = (t - t0) - static_cast<double>(w.Sample - s0) / 44100.0;
        late.push_back(l * 1000.0);
        beyondWire.push_back((l - w.WireSeconds) * 1000.0);
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

void BM_RegisterPlaybackTiming(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / fmt::format("klink_timing_bench_{}", getpid());
    fs::create_directories(dir);
    std::vector<TWrite> expected;
    const fs::path tune = dir / "timing.vgm";
    {
        const auto bytes = MakeTune(expected);
        std::ofstream(tune, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const fs::path tracePath = dir / "trace.jsonl";

    for (auto _ : state) {
        TSimProcess sim("Keltra 4", tracePath);
        klink::platform::UniqueSerialPort port(klink::platform::OpenSerialPort(sim.Port()));
        klink::platform::ConfigureSerialPort(port.Get(), klink::platform::SerialLineSettings{});
        klink::ConfigureWriteTimeouts(port.Get());
        TBenchHost host;
        host.Handle = port.Get();

        klink::TVGMPlayerThread thread(host, tune.string(), 1, 0);
        const double cpu0 = CPUSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        thread.Start();
        while (!thread.WaitFor(1000)) {
        }
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        const double cpu = CPUSeconds() - cpu0;
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
    std::vector<TWrite> expected;
    (void)MakeTune(expected);
    const fs::path tracePath = dir / "trace.jsonl";

    for (auto _ : state) {
        TSimProcess sim("Keltra 4", tracePath);
        klink::platform::UniqueSerialPort port(klink::platform::OpenSerialPort(sim.Port()));
        klink::platform::ConfigureSerialPort(port.Get(), klink::platform::SerialLineSettings{});
        klink::ConfigureWriteTimeouts(port.Get());

        using Clock = std::chrono::steady_clock;
        const double cpu0 = CPUSeconds();
        const auto start = Clock::now() + std::chrono::milliseconds(50);
        uint16_t id = 0;
        for (size_t i = 0; i < expected.size();) {
            std::vector<uint8_t> data;
            const uint64_t sample = expected[i].Sample;
            for (; i < expected.size() && expected[i].Sample == sample; ++i) {
                data.push_back(expected[i].Reg);
                data.push_back(expected[i].Value);
            }
            const auto frame = klink::EncodeFrame(klink::KLINK_MSG_PACKET, 0x54, ++id,
                                                  klink::EncodeRegisterBatch(0, 0, data));
            const auto due = start + std::chrono::nanoseconds(sample * 1000000000ull / 44100);
            std::this_thread::sleep_until(due - std::chrono::milliseconds(2));
            while (Clock::now() < due) {
            }
            (void)klink::platform::WriteSerialPort(port.Get(), frame);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = CPUSeconds() - cpu0;
        port.Close();
        sim.Stop();
        const auto seen = ReadTrace(tracePath, expected);
        if (seen.empty()) {
            state.SkipWithError("the trace does not hold every write in order");
            break;
        }
        Report(state, seen, wall, cpu);
        state.SetIterationTime(wall);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

BENCHMARK(BM_DirectWriteTiming)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
