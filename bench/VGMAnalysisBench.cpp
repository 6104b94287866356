// Loading and analysing a large generated VGZ file, next to `gzip -dc` of the
// same file. Run: ./build/bench/vgm_analysis_bench
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Bytes.h"
#include "vgm/VGMAnalysis.h"
#include "vgm/VGMFile.h"

namespace {

constexpr size_t kCommandBytes = 64u * 1024 * 1024;

// A YM2151 tune of about 64 MB of commands in a 1.61 header: the worst case for
// the analysis, since every scan (targets, OKIM6258 use, YM2612 DAC use) walks
// to the end. Like real music it repeats phrases with variations: each step
// writes key off, pitch, sometimes a level, key on for a few of the eight
// channels, then waits; gzip then compresses it about as well as real files.
std::vector<uint8_t> MakeLargeVGM() {
    std::vector<uint8_t> v(0x100, 0);
    const uint8_t sig[] = {'V', 'g', 'm', ' '};
    std::copy(sig, sig + 4, v.begin());
    auto put32 = [&](size_t at, uint32_t x) { klink::StoreLE32(v, at, x); };
    put32(0x08, 0x161);
    put32(0x30, 4000000);
    put32(0x34, 0x100 - 0x34);
    v.reserve(0x100 + kCommandBytes + 64);
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    auto write = [&](uint8_t reg, uint8_t value) {
        v.push_back(0x54);
        v.push_back(reg);
        v.push_back(value);
    };
    std::vector<uint8_t> phrase(64);
    uint32_t step = 0;
    while (v.size() < 0x100 + kCommandBytes) {
        if (step % 1024 == 0) {
            for (auto& n : phrase) n = static_cast<uint8_t>(0x20 + next() % 0x40);  // a new phrase
        }
        const uint32_t voices = 1 + step % 3;
        for (uint32_t ch = 0; ch < voices; ++ch) {
            const uint8_t note =
                static_cast<uint8_t>(phrase[(step + ch * 7) % phrase.size()] + (step / 256) % 3);
            write(0x08, static_cast<uint8_t>(ch));
            write(static_cast<uint8_t>(0x28 + ch), note);
            write(static_cast<uint8_t>(0x30 + ch), 0);
            if (step % 4 == ch) write(static_cast<uint8_t>(0x60 + ch), static_cast<uint8_t>(0x10 + step % 8));
            write(0x08, static_cast<uint8_t>(0x78 | ch));
        }
        switch (step % 4) {
            case 0:
                v.push_back(0x62);
                break;
            case 1:
                v.push_back(0x7F);
                break;
            case 2:
                v.push_back(0x61);
                v.push_back(0x70);
                v.push_back(0x01);
                break;
            default:
                v.push_back(0x63);
                break;
        }
        ++step;
    }
    v.push_back(0x66);
    put32(0x04, static_cast<uint32_t>(v.size() - 4));
    return v;
}

std::vector<uint8_t> Gzip(const std::vector<uint8_t>& data) {
    z_stream zs{};
    if (deflateInit2(&zs, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflate");
    std::vector<uint8_t> out(deflateBound(&zs, static_cast<uLong>(data.size())));
    zs.next_in = const_cast<Bytef*>(data.data());
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// The generated files, made once and removed when the program ends.
struct Fixture {
    std::filesystem::path dir;
    std::filesystem::path vgz;
    std::vector<uint8_t> plain;

    Fixture() {
        dir = std::filesystem::temp_directory_path() / ("klink_bench_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        vgz = dir / "large.vgz";
        plain = MakeLargeVGM();
        const auto gz = Gzip(plain);
        std::ofstream(vgz, std::ios::binary)
            .write(reinterpret_cast<const char*>(gz.data()), static_cast<std::streamsize>(gz.size()));
        std::fprintf(stderr, "generated %zu bytes, %zu compressed, in %s\n", plain.size(), gz.size(),
                     dir.c_str());
    }
    ~Fixture() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Fixture& Files() {
    static Fixture f;
    return f;
}

void BM_GzipCommand(benchmark::State& state) {
    const std::string command = "gzip -dc '" + Files().vgz.string() + "' > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("gzip -dc failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Files().plain.size()));
}

void BM_LoadVGZ(benchmark::State& state) {
    for (auto _ : state) {
        auto bytes = klink::LoadVGMFile(Files().vgz);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Files().plain.size()));
}

// The analysis alone, on bytes already in memory (the copy is not timed).
void BM_AnalysePass(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        klink::VGMBytes copy(Files().plain.begin(), Files().plain.end());
        state.ResumeTiming();
        auto a = klink::AnalyseVGMBytes(std::move(copy));
        if (!a.ok) state.SkipWithError(a.error.c_str());
        benchmark::DoNotOptimize(a.registerTargets.data());
        state.PauseTiming();
        a = {};
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Files().plain.size()));
}

// Load and analyse, as the playback thread and `klinkplay info` do.
void BM_AnalyseVGZFile(benchmark::State& state) {
    for (auto _ : state) {
        auto a = klink::AnalyseVGMFile(Files().vgz);
        if (!a.ok) state.SkipWithError(a.error.c_str());
        benchmark::DoNotOptimize(a.registerTargets.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Files().plain.size()));
}

BENCHMARK(BM_GzipCommand)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_LoadVGZ)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_AnalysePass)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_AnalyseVGZFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
