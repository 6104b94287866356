#pragma once
// KLINK frames: the envelope every host/board message travels in, its COBS
// wire form, the incremental decoder for the incoming byte stream, the two
// register-write payload layouts and the opcode table.
//
// Raw frame (multi-byte fields little-endian):
//   0 'K' 0x4B | 1 'L' 0x4C | 2 version 0x01 | 3 message type | 4 opcode |
//   5-6 request ID | 7-8 payload length n (0..256) | 9.. payload | CRC-16
// Wire frame: 0x00, COBS(raw frame), 0x00.
//
// Every function here is pure; a KLINKDecoder belongs to one thread.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "vgm/VGMChips.h"

namespace klink {

// Envelope constants.
inline constexpr uint8_t kMagic0 = 0x4B;  // 'K'
inline constexpr uint8_t kMagic1 = 0x4C;  // 'L'
inline constexpr uint8_t kProtocolVersion = 0x01;
inline constexpr int kHeaderSize = 9;
inline constexpr int kEnvelopeSize = 11;  // header + CRC
inline constexpr int kMaxPayload = 256;
inline constexpr int kMaxRawFrame = 267;   // envelope + largest payload
inline constexpr int kMaxCOBSBody = 269;   // encoded raw frame, no delimiters
inline constexpr int kMaxWireFrame = 271;  // body with both zero delimiters
// A gap of this many milliseconds or more inside a frame drops the frame.
inline constexpr uint64_t kInterByteTimeoutMs = 500;

// Message types (byte 3 of the raw frame). Anything above kReply is invalid.
enum class MessageType : uint8_t {
    kPacket = 0,   // host to board, never answered
    kRequest = 1,  // host to board, answered by one reply
    kReply = 2,    // board to host
};

// Opcodes (byte 4). Every reply payload starts with a status byte (0 = success).
// Register writes are packets whose opcode is the chip's WriteID (0x30 and
// up), so an Opcode holds any byte, not only the named ones.
enum class Opcode : uint8_t {
    kReset = 0x00,               // request
    kPing = 0x01,                // request, payload echoed
    kDeviceInfo = 0x02,          // request
    kSetOutputVolume = 0x03,     // request, or control packet
    kSetChipClock = 0x04,        // request
    kCapabilities = 0x05,        // request
    kStreamData = 0x10,          // packet
    kStreamEvents = 0x11,        // packet
    kStreamStart = 0x12,         // packet
    kAudioStatus = 0x13,         // request
    kDACCapabilities = 0x18,     // request
    kDACRecords = 0x19,          // packet
    kDACStart = 0x1A,            // request
    kDACEnd = 0x1B,              // control packet
    kDACStatus = 0x1C,           // request
    kRegisterEvents = 0x1D,      // packet
    kRegisterWriteFirst = 0x30,  // the lowest WriteID
};

// The opcode of a register-write packet for the chip `writeId`.
[[nodiscard]] constexpr Opcode WriteOpcode(uint8_t writeId) noexcept { return static_cast<Opcode>(writeId); }
// The byte an opcode travels as.
[[nodiscard]] constexpr uint8_t OpcodeByte(Opcode opcode) noexcept { return static_cast<uint8_t>(opcode); }

// Most bytes one register or byte batch carries.
inline constexpr int kMaxBatchBytes = 254;

// The decoded form of one frame.
struct KLINKFrame {
    MessageType messageType = MessageType::kPacket;
    Opcode opcode = Opcode::kReset;
    uint16_t requestId = 0;
    std::vector<uint8_t> payload;  // 0..256 bytes, envelope and CRC excluded

    friend bool operator==(const KLINKFrame&, const KLINKFrame&) = default;
};

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, no reflection, no final XOR).
[[nodiscard]] uint16_t FrameCrc16(std::span<const uint8_t> data) noexcept;

// Builds the complete wire frame, both zero delimiters included (at most 271 bytes).
// Throws WriteError "KLINK payload too large." for more than 256 payload bytes and
// "Invalid KLINK message type." for a message type above kReply.
[[nodiscard]] std::vector<uint8_t> EncodeFrame(MessageType messageType, Opcode opcode, uint16_t requestId,
                                               std::span<const uint8_t> payload);

// The wire form of a raw frame (envelope, payload and CRC as they stand):
// a zero byte, the COBS-stuffed bytes, a zero byte. EncodeFrame uses it; a
// simulated board uses it to send deliberately damaged frames.
[[nodiscard]] std::vector<uint8_t> StuffFrame(std::span<const uint8_t> raw);

// Validates one COBS body (the bytes between two zero delimiters) and fills
// `frame`. Never throws; on false the frame is left empty.
[[nodiscard]] bool DecodeFrame(std::span<const uint8_t> body, KLINKFrame& frame);

// True when `writeId` is written with a byte batch (the SN76489 commands);
// every other WriteID takes a register batch.
[[nodiscard]] constexpr bool UsesByteBatch(uint8_t writeId) noexcept {
    return writeId == kWriteSN76489 || writeId == kWriteSN76489Second;
}

// Register-write payload [instance][page] + (register, value) pairs in write
// order. `data` must hold an even number of bytes within 2..254, otherwise
// WriteError "Invalid KLINK register batch.".
[[nodiscard]] std::vector<uint8_t> EncodeRegisterBatch(uint8_t instance, uint8_t page,
                                                       std::span<const uint8_t> data);

// Register-write payload [instance][0] + bytes written to the chip unchanged.
// `data` must hold 1..254 bytes and `page` must be 0, otherwise WriteError
// "Invalid KLINK byte batch.".
[[nodiscard]] std::vector<uint8_t> EncodeByteBatch(uint8_t instance, uint8_t page,
                                                   std::span<const uint8_t> data);

// Turns the received byte stream into frames. Resynchronises on zero bytes:
// corrupt, oversized or stale bodies are dropped silently.
class KLINKDecoder {
public:
    // Forgets any partial body and any discard in progress.
    void Clear() noexcept;

    // Feeds one received byte stamped with the current monotonic millisecond
    // tick. True when this byte completed a valid frame, which is then in
    // `frame`; on false `frame` holds nothing useful.
    [[nodiscard]] bool Feed(uint8_t value, KLINKFrame& frame);

    // The same with an explicit millisecond tick `nowMs` (monotonic; a gap of
    // 500 ms or more since the previous byte drops a partial body).
    [[nodiscard]] bool Feed(uint8_t value, uint64_t nowMs, KLINKFrame& frame);

    // Bytes of the partial body collected so far.
    [[nodiscard]] int32_t Count() const noexcept { return count_; }
    // True while bytes are being thrown away up to the next zero byte.
    [[nodiscard]] bool Discarding() const noexcept { return discard_; }

private:
    // Holds the COBS body received so far; at most 269 bytes are ever stored.
    std::array<uint8_t, 272> encoded_{};
    int32_t count_ = 0;
    bool discard_ = false;
    uint64_t lastByteMs_ = 0;
};

}  // namespace klink
