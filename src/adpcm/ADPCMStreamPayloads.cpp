#include "adpcm/ADPCMStreamPayloads.h"

#include <iterator>
#include <utility>

#include "common/Bytes.h"
#include "common/Errors.h"
#include "vgm/VGMChips.h"

namespace klink {

namespace {

constexpr uint8_t kOKIInstance = 0x00;
constexpr size_t kEventHeaderSize = 7;  // target, position, kind
constexpr uint8_t kYM2151Target[] = {kWriteYM2151, 0x00, 0x00};

std::vector<uint8_t> EventHeader(uint32_t position, AudioEventKind kind, size_t dataSize) {
    std::vector<uint8_t> out;
    out.reserve(kEventHeaderSize + dataSize);
    out.push_back(kWriteOKIM6258);
    out.push_back(kOKIInstance);
    AppendLE32(out, position);
    out.push_back(static_cast<uint8_t>(kind));
    return out;
}

size_t PayloadSizeOf(AudioEventKind kind) {
    switch (kind) {
        case AudioEventKind::kYM2151Write:
            return 2;
        case AudioEventKind::kClockDivider:
            return 6;
        case AudioEventKind::kPan:
            return 1;
        default:
            throw ArgumentOutOfRange("STREAM_EVENTS carries only YM2151, clock/divider and pan events.");
    }
}

}  // namespace

std::vector<uint8_t> EncodeStreamStart(uint32_t clock, uint16_t divider) {
    std::vector<uint8_t> out;
    out.reserve(8);
    out.push_back(kWriteOKIM6258);
    out.push_back(kOKIInstance);
    AppendLE32(out, clock);
    AppendLE16(out, divider);
    return out;
}

std::vector<uint8_t> EncodeStreamData(uint32_t position, std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > kMaxStreamDataBytes) {
        throw ArgumentOutOfRange("STREAM_DATA carries 1 to 250 ADPCM bytes.");
    }
    std::vector<uint8_t> out;
    out.reserve(6 + bytes.size());
    out.push_back(kWriteOKIM6258);
    out.push_back(kOKIInstance);
    AppendLE32(out, position);
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

std::vector<std::vector<uint8_t>> EncodeStreamEvents(std::span<const AudioEvent> events) {
    std::vector<std::vector<uint8_t>> packets;
    size_t i = 0;
    while (i < events.size()) {
        const AudioEvent& first = events[i];
        if (first.payloadSize != PayloadSizeOf(first.kind)) {
            throw ArgumentOutOfRange("Audio event payload does not fit its kind.");
        }
        if (first.kind != AudioEventKind::kYM2151Write) {
            std::vector<uint8_t> out = EventHeader(first.position, first.kind, first.payloadSize);
            const auto payload = first.Payload();
            out.insert(out.end(), payload.begin(), payload.end());
            packets.push_back(std::move(out));
            ++i;
            continue;
        }
        // A run of YM2151 writes at one position shares packets of up to 123 pairs.
        size_t end = i + 1;
        while (end < events.size() && end - i < kMaxYM2151PairsPerPacket &&
               events[end].kind == AudioEventKind::kYM2151Write && events[end].position == first.position) {
            if (events[end].payloadSize != 2) {
                throw ArgumentOutOfRange("Audio event payload does not fit its kind.");
            }
            ++end;
        }
        std::vector<uint8_t> out =
            EventHeader(first.position, AudioEventKind::kYM2151Write, sizeof kYM2151Target + 2 * (end - i));
        out.insert(out.end(), std::begin(kYM2151Target), std::end(kYM2151Target));
        for (size_t k = i; k < end; ++k) {
            out.push_back(events[k].payload[0]);
            out.push_back(events[k].payload[1]);
        }
        packets.push_back(std::move(out));
        i = end;
    }
    return packets;
}

std::vector<uint8_t> EncodeStreamEnd(uint32_t position, uint8_t silenceByte) {
    std::vector<uint8_t> out = EventHeader(position, AudioEventKind::kEndOfStream, 1);
    out.push_back(silenceByte);
    return out;
}

}  // namespace klink
