#include "protocol/KLINKCodec.h"

#include <algorithm>
#include <chrono>

#include "common/Bytes.h"
#include "common/Errors.h"

namespace klink {

namespace {

// Monotonic milliseconds for the decoder's implicit-time Feed. Only
// differences matter, so the epoch of steady_clock is fine.
uint64_t NowTickMS() noexcept {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// Appends the COBS form of `raw` to `out`. A block that reaches 254 data
// bytes is closed with code 0xFF and a new code byte is reserved even when
// nothing follows, so such a frame ends with the code byte 0x01.
void AppendCobs(std::span<const uint8_t> raw, std::vector<uint8_t>& out) {
    size_t codePos = out.size();
    out.push_back(0);
    uint8_t counter = 1;
    for (const uint8_t b : raw) {
        if (b == 0) {
            out[codePos] = counter;
            codePos = out.size();
            out.push_back(0);
            counter = 1;
        } else {
            out.push_back(b);
            ++counter;
            if (counter == 0xFF) {
                out[codePos] = 0xFF;
                codePos = out.size();
                out.push_back(0);
                counter = 1;
            }
        }
    }
    out[codePos] = counter;
}

// Undoes COBS into `out` (capacity kMaxRawFrame); returns the decoded
// length or -1 when the body is not well-formed.
int DecodeCobs(std::span<const uint8_t> body, std::array<uint8_t, kMaxRawFrame>& out) noexcept {
    size_t n = 0;
    size_t i = 0;
    while (i < body.size()) {
        const uint8_t code = body[i++];
        if (code == 0) return -1;
        const size_t dataLen = code - 1u;
        if (dataLen > body.size() - i) return -1;
        if (dataLen > out.size() - n) return -1;
        for (size_t k = 0; k < dataLen; ++k) {
            const uint8_t b = body[i++];
            if (b == 0) return -1;
            out[n++] = b;
        }
        // Every block but a full one and the last stands for a zero byte.
        if (code != 0xFF && i < body.size()) {
            if (n == out.size()) return -1;
            out[n++] = 0;
        }
    }
    return static_cast<int>(n);
}

}  // namespace

uint16_t FrameCrc16(std::span<const uint8_t> data) noexcept {
    uint16_t crc = 0xFFFF;
    for (const uint8_t b : data) {
        crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(b) << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc =
                (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

std::vector<uint8_t> EncodeFrame(MessageType messageType, Opcode opcode, uint16_t requestId,
                                 std::span<const uint8_t> payload) {
    if (payload.size() > static_cast<size_t>(kMaxPayload)) throw WriteError("KLINK payload too large.");
    if (messageType > MessageType::kReply) throw WriteError("Invalid KLINK message type.");

    const size_t n = payload.size();
    std::array<uint8_t, kMaxRawFrame> raw{};
    raw[0] = kMagic0;
    raw[1] = kMagic1;
    raw[2] = kProtocolVersion;
    raw[3] = static_cast<uint8_t>(messageType);
    raw[4] = OpcodeByte(opcode);
    StoreLE16(raw, 5, requestId);
    StoreLE16(raw, 7, static_cast<uint16_t>(n));
    for (size_t k = 0; k < n; ++k) raw[kHeaderSize + k] = payload[k];
    const size_t crcPos = kHeaderSize + n;
    const uint16_t crc = FrameCrc16(std::span<const uint8_t>(raw.data(), crcPos));
    StoreLE16(raw, crcPos, crc);

    return StuffFrame(std::span<const uint8_t>(raw.data(), crcPos + 2));
}

std::vector<uint8_t> StuffFrame(std::span<const uint8_t> raw) {
    std::vector<uint8_t> wire;
    wire.reserve(raw.size() + raw.size() / 254 + 4);
    wire.push_back(0);
    AppendCobs(raw, wire);
    wire.push_back(0);
    return wire;
}

bool DecodeFrame(std::span<const uint8_t> body, KLINKFrame& frame) {
    frame = KLINKFrame{};
    if (body.empty() || body.size() > static_cast<size_t>(kMaxCOBSBody)) return false;

    std::array<uint8_t, kMaxRawFrame> raw;
    const int size = DecodeCobs(body, raw);
    if (size < kEnvelopeSize) return false;
    if (raw[0] != kMagic0 || raw[1] != kMagic1 || raw[2] != kProtocolVersion ||
        raw[3] > static_cast<uint8_t>(MessageType::kReply)) {
        return false;
    }
    const int payloadLength = LoadLE16(raw, 7);
    if (payloadLength > kMaxPayload || size != payloadLength + kEnvelopeSize) return false;
    const int crcPos = size - 2;
    const uint16_t stored = LoadLE16(raw, static_cast<size_t>(crcPos));
    if (stored != FrameCrc16(std::span<const uint8_t>(raw.data(), static_cast<size_t>(crcPos)))) return false;

    frame.messageType = static_cast<MessageType>(raw[3]);
    frame.opcode = static_cast<Opcode>(raw[4]);
    frame.requestId = LoadLE16(raw, 5);
    frame.payload.assign(raw.begin() + kHeaderSize, raw.begin() + crcPos);
    return true;
}

std::vector<uint8_t> EncodeRegisterBatch(uint8_t instance, uint8_t page, std::span<const uint8_t> data) {
    const size_t count = data.size();
    if (count < 2 || count > static_cast<size_t>(kMaxBatchBytes) || count % 2 != 0) {
        throw WriteError("Invalid KLINK register batch.");
    }
    // Sized first, then filled: GCC 12 misreads push_back followed by insert
    // at -O3 as reading past the end (-Wstringop-overread).
    std::vector<uint8_t> payload(count + 2);
    payload[0] = instance;
    payload[1] = page;
    std::copy(data.begin(), data.end(), payload.begin() + 2);
    return payload;
}

std::vector<uint8_t> EncodeByteBatch(uint8_t instance, uint8_t page, std::span<const uint8_t> data) {
    const size_t count = data.size();
    if (count < 1 || count > static_cast<size_t>(kMaxBatchBytes) || page != 0) {
        throw WriteError("Invalid KLINK byte batch.");
    }
    std::vector<uint8_t> payload(count + 2);  // sized first, as above
    payload[0] = instance;
    payload[1] = 0;
    std::copy(data.begin(), data.end(), payload.begin() + 2);
    return payload;
}

void KLINKDecoder::Clear() noexcept {
    count_ = 0;
    discard_ = false;
    lastByteMs_ = 0;
}

bool KLINKDecoder::Feed(uint8_t value, KLINKFrame& frame) { return Feed(value, NowTickMS(), frame); }

bool KLINKDecoder::Feed(uint8_t value, uint64_t nowMs, KLINKFrame& frame) {
    // A stalled sender leaves a frame that can no longer be trusted; the rest
    // of it, up to its closing zero, is thrown away.
    if (count_ != 0 && nowMs - lastByteMs_ >= kInterByteTimeoutMs) {
        count_ = 0;
        discard_ = true;
    }
    lastByteMs_ = nowMs;

    if (value != 0) {
        if (discard_) return false;
        if (count_ >= kMaxCOBSBody) {
            count_ = 0;
            discard_ = true;
            return false;
        }
        encoded_[static_cast<size_t>(count_++)] = value;
        return false;
    }

    if (discard_) {
        Clear();
        return false;
    }
    if (count_ > 0) {
        const auto body = std::span<const uint8_t>(encoded_.data(), static_cast<size_t>(count_));
        count_ = 0;
        return DecodeFrame(body, frame);
    }
    return false;
}

}  // namespace klink
