#pragma once
// One timed event of the ADPCM stream: a YM2151 write, an OKIM6258 clock,
// divider or pan change tied to a stream byte, or a write to another chip tied
// to a time that the host performs itself.

#include <array>
#include <cstdint>
#include <span>

namespace klink {

// The numbers are part of the stream protocol (STREAM_EVENTS kind byte).
enum class AudioEventKind : uint8_t {
    kYM2151Write = 0,    // payload: register, value (YM2151 instance 0, page 0)
    kClockDivider = 1,   // payload: clock in Hz (4 bytes LE), divider (2 bytes LE)
    kPan = 2,            // payload: pan 0..3
    kEndOfStream = 3,    // never produced by the source; the playback path sends it
    kExternalWrite = 4,  // payload: WriteID, Instance, Page, register, value
};

inline constexpr size_t kMaxAudioEventPayload = 6;

// A plain value; the payload lives inline so that a chunk's event list can be
// refilled without allocating.
struct AudioEvent {
    uint32_t position = 0;  // stream byte at which it takes effect: bytes produced before it
    uint64_t timeUs = 0;    // command time in µs on the stream's time axis (VGM time 0 = 5120 µs)
    AudioEventKind kind = AudioEventKind::kYM2151Write;
    uint8_t payloadSize = 0;
    std::array<uint8_t, kMaxAudioEventPayload> payload{};  // bytes past payloadSize are 0

    [[nodiscard]] std::span<const uint8_t> Payload() const noexcept { return {payload.data(), payloadSize}; }

    friend bool operator==(const AudioEvent&, const AudioEvent&) = default;
};

// Kinds 0, 1 and 2 travel to the board inside the stream; kind 4 is the host's.
[[nodiscard]] constexpr bool IsBoardEvent(AudioEventKind kind) noexcept {
    return kind == AudioEventKind::kYM2151Write || kind == AudioEventKind::kClockDivider ||
           kind == AudioEventKind::kPan;
}

}  // namespace klink
