#pragma once
// Payloads of the three ADPCM stream packets a KL4 board takes: STREAM_START,
// STREAM_DATA and STREAM_EVENTS. Payloads only; the KLINK frame around them
// (opcode, request ID, checksum) belongs to the protocol codec. Every payload
// starts with the OKIM6258 target, 0xB7 and instance 0; multi-byte fields are
// little-endian.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "adpcm/AudioEvent.h"

namespace klink {

// The packet opcodes (the same values as KLINK_OP_STREAM_* of the protocol codec).
inline constexpr uint8_t kStreamDataOpcode = 0x10;
inline constexpr uint8_t kStreamEventsOpcode = 0x11;
inline constexpr uint8_t kStreamStartOpcode = 0x12;

// Largest payload of one packet, bytes.
inline constexpr size_t kMaxStreamPayload = 256;
// Most ADPCM bytes one STREAM_DATA packet carries.
inline constexpr size_t kMaxStreamDataBytes = 250;
// Most YM2151 (register, value) pairs one STREAM_EVENTS packet carries:
// 7 header bytes + 3 target bytes + 2 * 123 = 256.
inline constexpr size_t kMaxYM2151PairsPerPacket = 123;

// 8 bytes: target, OKIM6258 clock in Hz (4), divider (2).
[[nodiscard]] std::vector<uint8_t> EncodeStreamStart(uint32_t clock, uint16_t divider);

// 6 + n bytes: target, stream position of the first byte (4), the n ADPCM
// bytes. Throws ArgumentOutOfRange unless n is 1 to 250.
[[nodiscard]] std::vector<uint8_t> EncodeStreamData(uint32_t position, std::span<const uint8_t> bytes);

// The board events of one chunk (kinds 0, 1, 2, in the source's order) as the
// STREAM_EVENTS payloads to send, in order. A YM2151 write takes every directly
// following YM2151 write at the same position into its packet while the
// payload stays within 256 bytes (123 pairs); every other event gets a packet
// of its own. Each payload: target, position (4), kind, then the kind's data
// (kind 0: 0x54 0x00 0x00 and the pairs; kind 1: clock (4), divider (2);
// kind 2: pan). Throws ArgumentOutOfRange for another kind or a payload whose
// size does not fit its kind.
[[nodiscard]] std::vector<std::vector<uint8_t>> EncodeStreamEvents(std::span<const AudioEvent> events);

// The end-of-stream STREAM_EVENTS payload (kind 3): `position` just past the
// last stream byte, `silenceByte` for the board to play from then on.
[[nodiscard]] std::vector<uint8_t> EncodeStreamEnd(uint32_t position, uint8_t silenceByte);

}  // namespace klink
