#pragma once
// A mono WAV file of what a simulated board plays. The format follows the
// first audio the board produces: 16-bit at the OKIM6258 sample rate for an
// ADPCM stream, 8-bit at 44100 Hz for the KL2 DAC. Later audio at another
// rate is resampled (sample and hold) into the file's rate. The header is
// brought up to date about once a second and on Close, so a file cut short
// still plays.

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace klink::sim {

class SimWavWriter {
public:
    explicit SimWavWriter(std::filesystem::path path) : path_(std::move(path)) {}
    ~SimWavWriter();
    SimWavWriter(const SimWavWriter&) = delete;
    SimWavWriter& operator=(const SimWavWriter&) = delete;

    // A 12-bit signed OKIM6258 sample at `rate` samples per second.
    void OKISample(int16_t sample, uint32_t rate);
    // `count` 8-bit unsigned KL2 DAC samples at 44100 Hz.
    void DACSamples(uint8_t value, uint64_t count);
    void Close() noexcept;

    [[nodiscard]] uint64_t Frames() const noexcept { return frames_; }

private:
    bool Open(uint32_t rate, uint16_t bits);
    void Put(int32_t sample16, uint32_t rate, uint64_t count);
    void WriteHeader();

    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    bool failed_ = false;
    uint32_t rate_ = 0;
    uint16_t bits_ = 0;
    uint64_t frames_ = 0;
    uint64_t phase_ = 0;  // resampling accumulator
    uint64_t sinceHeader_ = 0;
};

}  // namespace klink::sim
