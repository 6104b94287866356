#pragma once
// The one walker over VGM command data that every reader of the stream uses,
// the loop counter and the OKIM6258 usage scan.

#include <array>
#include <cstdint>
#include <span>

namespace klink {

// What NextVGMCommand found. The numbers are part of the contract.
enum class TVGMCommandKind : uint8_t {
    Other = 0,        // consumed, nothing to report
    YM2151Write = 1,  // Register and Value set
    Wait = 2,         // Wait set (samples of 1/44100 s)
    End = 3,          // end of data (0x66)
};

// Reads one command at `position` and advances `position` past it. `reg`,
// `value` and `wait` are set to 0 first. Never reads outside `bytes`; throws
// ReadError naming the command's position (the position is then somewhere in
// the failed command and the walk must be abandoned). No allocation unless it
// throws.
[[nodiscard]] TVGMCommandKind NextVGMCommand(std::span<const uint8_t> bytes, uint32_t& position, uint8_t& reg,
                                             uint8_t& value, uint32_t& wait);

// Called at an end command of a file that loops. `repeatCount` is the number of
// passes (0 = endless). Counts one completed pass and answers whether to jump
// back to the loop point. Throws ReadError for a negative count.
[[nodiscard]] bool CountLoop(uint64_t& completedLoops, int32_t repeatCount);

// Follows a command walk and tells when the data feeds an OKIM6258. Observe
// each command after it was walked successfully, with its start position.
class TOKIStreamScan {
public:
    // True when this command shows OKIM6258 use.
    [[nodiscard]] bool Observe(std::span<const uint8_t> bytes, uint32_t position) noexcept;

private:
    std::array<bool, 256> okiStream_{};  // per DAC stream ID: set up for an OKIM6258
};

// Whether the command data from `dataOffset` feeds an OKIM6258 (ADPCM data
// register writes, or streams set up for it and started). Throws ReadError.
[[nodiscard]] bool UsesOKIStream(std::span<const uint8_t> bytes, uint32_t dataOffset);

}  // namespace klink
