#include "kl2/KL2DACCodec.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "common/Bytes.h"
#include "common/Errors.h"
#include "vgm/VGMChips.h"

namespace klink {

namespace {

constexpr uint8_t kFormat = 1;
constexpr uint8_t kCapabilityProfile = 4;
constexpr uint32_t kCapabilityRevision = 40;
constexpr uint8_t kRecordPacketTag = 0x52;
constexpr size_t kRecordPacketHeader = 15;
constexpr size_t kEventPacketHeader = 12;

}  // namespace

uint64_t ReadKL2Field(std::span<const uint8_t> bytes, int32_t offset, int32_t width) {
    if (offset < 0 || width < 0 || width > 8 || !FitsIn(bytes, offset, width)) {
        throw ReadError("Truncated KL2 DAC field.");
    }
    return LoadLE(bytes, static_cast<size_t>(offset), static_cast<size_t>(width));
}

void WriteKL2Field(std::vector<uint8_t>& bytes, int32_t offset, uint64_t value, int32_t width) {
    if (offset < 0 || width < 0 || width > 8 || !FitsIn(bytes, offset, width)) {
        throw WriteError("Invalid KL2 DAC field.");
    }
    StoreLE(bytes, static_cast<size_t>(offset), value, static_cast<size_t>(width));
}

void KL2DACCapabilities::Decode(std::span<const uint8_t> reply) {
    if (reply.size() != kKL2CapabilityRecordSize || reply[0] != kFormat) {
        throw ReadError("Unsupported KL2 DAC capability format.");
    }
    KL2DACCapabilities caps;
    caps.revision = static_cast<uint32_t>(ReadKL2Field(reply, 1, 4));
    caps.tickRate = static_cast<uint32_t>(ReadKL2Field(reply, 5, 4));
    caps.recordCapacity = static_cast<uint32_t>(ReadKL2Field(reply, 9, 4));
    caps.eventCapacity = static_cast<uint16_t>(ReadKL2Field(reply, 13, 2));
    caps.maxRecords = static_cast<uint8_t>(ReadKL2Field(reply, 15, 1));
    const auto profile = static_cast<uint8_t>(ReadKL2Field(reply, 16, 1));
    caps.maxLateUs = static_cast<uint32_t>(ReadKL2Field(reply, 17, 4));
    if (caps.revision != kCapabilityRevision || caps.tickRate != kKL2TickRate ||
        profile != kCapabilityProfile || caps.recordCapacity == 0 || caps.eventCapacity == 0 ||
        caps.maxRecords < 1 || caps.maxRecords > kKL2MaxRecordsPerPacket) {
        throw ReadError("Unsupported KL2 DAC profile/revision/capacity.");
    }
    *this = caps;
}

void KL2DACStatus::Decode(std::span<const uint8_t> reply) {
    if (reply.size() != kKL2StatusRecordSize || reply[0] != kFormat ||
        reply[1] > static_cast<uint8_t>(KL2DACState::kFaulted)) {
        throw ReadError("Invalid KL2 DAC status.");
    }
    KL2DACStatus s;
    s.state = static_cast<KL2DACState>(reply[1]);
    s.fault = reply[2];
    s.sealed = reply[3];
    uint32_t* const counters[] = {&s.accepted,    &s.consumed,      &s.queued,     &s.free,
                                  &s.eventQueued, &s.eventConsumed, &s.underflows, &s.overflows,
                                  &s.rejected,    &s.lateDac,       &s.maxLateUs};
    int32_t offset = 4;
    for (uint32_t* counter : counters) {
        *counter = static_cast<uint32_t>(ReadKL2Field(reply, offset, 4));
        offset += 4;
    }
    s.acceptedTick = ReadKL2Field(reply, 48, 8);
    s.playedTick = ReadKL2Field(reply, 56, 8);
    s.executedTick = ReadKL2Field(reply, 64, 8);
    if (s.consumed > s.accepted || s.queued != s.accepted - s.consumed || s.playedTick > s.acceptedTick) {
        throw ReadError("Inconsistent KL2 DAC status positions.");
    }
    *this = s;
}

std::string KL2DACStatus::Describe() const {
    // Ticks print unsigned: a board reporting garbage must not show up as a
    // negative position in the log.
    return fmt::format(
        "DAC: state={} fault={} accepted={} consumed={} queued={}; underflows={} overflows={} "
        "rejected={}; max DAC late={} us; ticks={}/{}",
        unsigned{static_cast<uint8_t>(state)}, unsigned{fault}, accepted, consumed, queued, underflows,
        overflows, rejected, maxLateUs, playedTick, acceptedTick);
}

int32_t KL2EventWidth(const KLINKVGMTarget& target) noexcept {
    return (target.writeId == kWriteSN76489Second || target.writeId == kWriteSN76489) ? 1 : 2;
}

std::vector<uint8_t> EncodeKL2DACRecords(uint32_t firstSequence, const KL2DACChunk& chunk) {
    const size_t n = chunk.records.size();
    if (n == 0 || n > static_cast<size_t>(kKL2MaxRecordsPerPacket) ||
        uint64_t{firstSequence} + n > std::numeric_limits<uint32_t>::max()) {
        throw WriteError("Invalid KL2 DAC record count/sequence.");
    }
    std::vector<uint8_t> packet(kRecordPacketHeader + 4 * n);
    WriteKL2Field(packet, 0, kFormat, 1);
    WriteKL2Field(packet, 1, kRecordPacketTag, 1);
    WriteKL2Field(packet, 2, 0, 1);
    WriteKL2Field(packet, 3, firstSequence, 4);
    WriteKL2Field(packet, 7, chunk.startTick, 8);
    uint64_t tick = chunk.startTick;
    int32_t offset = static_cast<int32_t>(kRecordPacketHeader);
    for (const KL2DACRecord& r : chunk.records) {
        const bool valid = r.kind <= KL2RecordKind::kDelay &&
                           !(r.kind == KL2RecordKind::kEnable && r.value != 0x00 && r.value != 0x80) &&
                           !(r.kind == KL2RecordKind::kDelay && (r.value != 0 || r.wait == 0)) &&
                           r.wait <= std::numeric_limits<uint64_t>::max() - tick;
        if (!valid) throw WriteError("Invalid KL2 DAC record.");
        WriteKL2Field(packet, offset, static_cast<uint8_t>(r.kind), 1);
        WriteKL2Field(packet, offset + 1, r.value, 1);
        WriteKL2Field(packet, offset + 2, r.wait, 2);
        offset += 4;
        tick += r.wait;
    }
    if (tick != chunk.endTick) throw WriteError("KL2 DAC chunk end mismatch.");
    return packet;
}

std::vector<uint8_t> EncodeKL2RegisterEvents(std::span<const KL2RegisterEvent> events, int32_t first,
                                             int32_t count) {
    if (first < 0 || count < 1 || int64_t{first} + count > static_cast<int64_t>(events.size())) {
        throw WriteError("Invalid KL2 register event batch.");
    }
    const KL2RegisterEvent& head = events[static_cast<size_t>(first)];
    const int32_t w = KL2EventWidth(head.target);
    if (kEventPacketHeader + int64_t{count} * w > kKL2MaxEventPayload) {
        throw WriteError("KL2 register event payload too large.");
    }
    std::vector<uint8_t> packet;
    packet.reserve(kEventPacketHeader + static_cast<size_t>(count * w));
    packet.resize(kEventPacketHeader);
    WriteKL2Field(packet, 0, kFormat, 1);
    WriteKL2Field(packet, 1, head.tick, 8);
    WriteKL2Field(packet, 9, head.target.writeId, 1);
    WriteKL2Field(packet, 10, head.target.instance, 1);
    WriteKL2Field(packet, 11, head.target.page, 1);
    for (const KL2RegisterEvent& e : events.subspan(static_cast<size_t>(first), static_cast<size_t>(count))) {
        // The DAC registers of the YM2612's port 0 belong to the DAC records; a
        // timed write there would race the board's own DAC playback. Other
        // chips' registers of the same numbers are ordinary ones.
        const bool dacRegister = e.target.writeId == kWriteYM2612 && e.target.page == 0 &&
                                 (e.address == 0x2A || e.address == 0x2B);
        if (e.tick != head.tick || !(e.target == head.target) || dacRegister) {
            throw WriteError("Invalid KL2 register event target/order.");
        }
        if (w == 2) packet.push_back(e.address);
        packet.push_back(e.value);
    }
    return packet;
}

std::vector<uint8_t> EncodeKL2DACStart(uint32_t leadTicks) {
    std::vector<uint8_t> payload(5);
    WriteKL2Field(payload, 0, kFormat, 1);
    WriteKL2Field(payload, 1, leadTicks, 4);
    return payload;
}

std::vector<uint8_t> EncodeKL2DACEnd(uint32_t nextSequence, uint64_t endTick) {
    std::vector<uint8_t> payload(13);
    WriteKL2Field(payload, 0, kFormat, 1);
    WriteKL2Field(payload, 1, nextSequence, 4);
    WriteKL2Field(payload, 5, endTick, 8);
    return payload;
}

std::vector<uint8_t> EncodeKL2DACStatusRequest() { return {kFormat}; }

bool KL2EventCreditsFit(uint32_t sent, uint32_t consumed, uint16_t capacity, int32_t count) {
    if (sent < consumed || count < 0) throw ReadError("Invalid KL2 register event credits.");
    // 64-bit: outstanding events plus `count` can pass 2^32 and must not wrap.
    return uint64_t{capacity} >= uint64_t{sent - consumed} + static_cast<uint64_t>(count);
}

int32_t KL2RegisterBudget(uint64_t pending, bool startup, uint64_t inFlight) noexcept {
    // 32 bytes of each window stay free as headroom for framing.
    const uint64_t window = startup ? 8192 : 1024;
    const uint64_t packetLimit = startup ? 254 : 128;
    constexpr uint64_t kReserve = 32;
    constexpr uint64_t kInFlightLimit = 224;
    if (pending >= window - kReserve) return 0;
    uint64_t budget = std::min(window - kReserve - pending, packetLimit);
    if (!startup) {
        if (inFlight >= kInFlightLimit) return 0;
        budget = std::min(budget, kInFlightLimit - inFlight);
    }
    return static_cast<int32_t>(budget);
}

}  // namespace klink
