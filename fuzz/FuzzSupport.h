#pragma once
// Shared by the fuzz targets: a check that stops the run on a broken
// invariant (the fuzzer records the input as a crash, the replay test fails),
// and a reader that splits one input into parameters and data.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

// Every target defines this; libFuzzer or the replay main calls it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

namespace klink::fuzz {

// Takes bytes off the front of an input; past its end every read gives 0.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : bytes_(data, size) {}

    [[nodiscard]] bool Empty() const noexcept { return at_ >= bytes_.size(); }
    [[nodiscard]] uint8_t Byte() noexcept { return Empty() ? 0 : bytes_[at_++]; }
    [[nodiscard]] uint16_t LE16() noexcept {
        const uint8_t lo = Byte();
        return static_cast<uint16_t>(lo | (Byte() << 8));
    }
    // Up to `count` bytes (fewer at the end of the input).
    [[nodiscard]] std::span<const uint8_t> Take(size_t count) noexcept {
        const size_t n = count < bytes_.size() - at_ ? count : bytes_.size() - at_;
        std::span<const uint8_t> part = bytes_.subspan(at_, n);
        at_ += n;
        return part;
    }
    [[nodiscard]] std::span<const uint8_t> Rest() noexcept { return Take(bytes_.size() - at_); }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

}  // namespace klink::fuzz
