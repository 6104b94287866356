#include "SimWavWriter.h"

#include <array>

#include "common/Bytes.h"
#include "platform/CFile.h"

namespace klink::sim {
namespace {

void Put32(std::array<uint8_t, 44>& h, size_t at, uint32_t v) { StoreLE32(h, at, v); }
void Put16(std::array<uint8_t, 44>& h, size_t at, uint16_t v) { StoreLE16(h, at, v); }

}  // namespace

SimWavWriter::~SimWavWriter() { Close(); }

bool SimWavWriter::Open(uint32_t rate, uint16_t bits) {
    if (file_ != nullptr) return true;
    if (failed_ || rate == 0) return false;
    file_ = platform::OpenCFile(path_, "wb");
    if (file_ == nullptr) {
        failed_ = true;
        return false;
    }
    rate_ = rate;
    bits_ = bits;
    WriteHeader();
    return true;
}

void SimWavWriter::WriteHeader() {
    const uint32_t bytesPer = bits_ / 8;
    const uint64_t dataBytes64 = frames_ * bytesPer;
    const uint32_t dataBytes = dataBytes64 > 0xFFFFFFF0ull ? 0xFFFFFFF0u : static_cast<uint32_t>(dataBytes64);
    std::array<uint8_t, 44> h{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
    Put32(h, 4, 36 + dataBytes);
    Put32(h, 16, 16);
    Put16(h, 20, 1);  // PCM
    Put16(h, 22, 1);  // mono
    Put32(h, 24, rate_);
    Put32(h, 28, rate_ * bytesPer);
    Put16(h, 32, static_cast<uint16_t>(bytesPer));
    Put16(h, 34, bits_);
    h[36] = 'd';
    h[37] = 'a';
    h[38] = 't';
    h[39] = 'a';
    Put32(h, 40, dataBytes);
    const long here = std::ftell(file_);
    std::fseek(file_, 0, SEEK_SET);
    std::fwrite(h.data(), 1, h.size(), file_);
    if (here > 44) {
        std::fseek(file_, here, SEEK_SET);
    } else {
        std::fseek(file_, 0, SEEK_END);
    }
    sinceHeader_ = 0;
}

void SimWavWriter::Put(int32_t sample16, uint32_t rate, uint64_t count) {
    // Each source sample covers rate_/rate output frames (sample and hold).
    for (uint64_t n = 0; n < count; ++n) {
        phase_ += rate_;
        while (phase_ >= rate) {
            phase_ -= rate;
            if (bits_ == 16) {
                const auto v = static_cast<uint16_t>(static_cast<int16_t>(sample16));
                const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
                std::fwrite(b, 1, 2, file_);
            } else {
                const auto b = static_cast<uint8_t>((sample16 >> 8) + 128);
                std::fputc(b, file_);
            }
            ++frames_;
            if (++sinceHeader_ >= rate_) WriteHeader();
        }
    }
}

void SimWavWriter::OKISample(int16_t sample, uint32_t rate) {
    if (rate == 0 || !Open(rate, 16)) return;
    Put(int32_t{sample} * 16, rate, 1);
}

void SimWavWriter::DACSamples(uint8_t value, uint64_t count) {
    if (!Open(44100, 8)) return;
    Put((int32_t{value} - 128) * 256, 44100, count);
}

void SimWavWriter::Close() noexcept {
    if (file_ == nullptr) return;
    WriteHeader();
    std::fclose(file_);
    file_ = nullptr;
}

}  // namespace klink::sim
