#include "kl2/KL2DACCodec.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "common/Errors.h"

namespace klink {

namespace {

// Offset + Width against a size without overflow, for already non-negative values.
bool Reaches(size_t Size, int32_t Offset, int32_t Width) {
    return static_cast<uint64_t>(Offset) + static_cast<uint64_t>(Width) <= Size;
}

constexpr uint8_t kFormat = 1;
constexpr uint8_t kCapabilityProfile = 4;
constexpr uint32_t kCapabilityRevision = 40;
constexpr uint8_t kRecordPacketTag = 0x52;
constexpr size_t kRecordPacketHeader = 15;
constexpr size_t kEventPacketHeader = 12;

}  // namespace

uint64_t ReadKL2Field(std::span<const uint8_t> Bytes, int32_t Offset, int32_t Width) {
    if (Offset < 0 || Width < 0 || Width > 8 || !Reaches(Bytes.size(), Offset, Width)) {
        throw ReadError("Truncated KL2 DAC field.");
    }
    uint64_t value = 0;
    for (int32_t i = Width - 1; i >= 0; --i) {
        value = (value << 8) | Bytes[static_cast<size_t>(Offset + i)];
    }
    return value;
}

void WriteKL2Field(std::vector<uint8_t>& Bytes, int32_t Offset, uint64_t Value, int32_t Width) {
    if (Offset < 0 || Width < 0 || Width > 8 || !Reaches(Bytes.size(), Offset, Width)) {
        throw WriteError("Invalid KL2 DAC field.");
    }
    for (int32_t i = 0; i < Width; ++i) {
        Bytes[static_cast<size_t>(Offset + i)] = static_cast<uint8_t>(Value >> (8 * i));
    }
}

void TKL2DACCapabilities::Decode(std::span<const uint8_t> Reply) {
    if (Reply.size() != kKL2CapabilityRecordSize || Reply[0] != kFormat) {
        throw ReadError("Unsupported KL2 DAC capability format.");
    }
    TKL2DACCapabilities caps;
    caps.Revision = static_cast<uint32_t>(ReadKL2Field(Reply, 1, 4));
    caps.TickRate = static_cast<uint32_t>(ReadKL2Field(Reply, 5, 4));
    caps.RecordCapacity = static_cast<uint32_t>(ReadKL2Field(Reply, 9, 4));
    caps.EventCapacity = static_cast<uint16_t>(ReadKL2Field(Reply, 13, 2));
    caps.MaxRecords = static_cast<uint8_t>(ReadKL2Field(Reply, 15, 1));
    const auto profile = static_cast<uint8_t>(ReadKL2Field(Reply, 16, 1));
    caps.MaxLateUS = static_cast<uint32_t>(ReadKL2Field(Reply, 17, 4));
    if (caps.Revision != kCapabilityRevision || caps.TickRate != kKL2TickRate ||
        profile != kCapabilityProfile || caps.RecordCapacity == 0 || caps.EventCapacity == 0 ||
        caps.MaxRecords < 1 || caps.MaxRecords > kKL2MaxRecordsPerPacket) {
        throw ReadError("Unsupported KL2 DAC profile/revision/capacity.");
    }
    *this = caps;
}

void TKL2DACStatus::Decode(std::span<const uint8_t> Reply) {
    if (Reply.size() != kKL2StatusRecordSize || Reply[0] != kFormat || Reply[1] > kFaulted) {
        throw ReadError("Invalid KL2 DAC status.");
    }
    TKL2DACStatus s;
    s.State = Reply[1];
    s.Fault = Reply[2];
    s.Sealed = Reply[3];
    uint32_t* const counters[] = {&s.Accepted,    &s.Consumed,      &s.Queued,     &s.Free,
                                  &s.EventQueued, &s.EventConsumed, &s.Underflows, &s.Overflows,
                                  &s.Rejected,    &s.LateDAC,       &s.MaxLateUS};
    int32_t offset = 4;
    for (uint32_t* counter : counters) {
        *counter = static_cast<uint32_t>(ReadKL2Field(Reply, offset, 4));
        offset += 4;
    }
    s.AcceptedTick = ReadKL2Field(Reply, 48, 8);
    s.PlayedTick = ReadKL2Field(Reply, 56, 8);
    s.ExecutedTick = ReadKL2Field(Reply, 64, 8);
    if (s.Consumed > s.Accepted || s.Queued != s.Accepted - s.Consumed || s.PlayedTick > s.AcceptedTick) {
        throw ReadError("Inconsistent KL2 DAC status positions.");
    }
    *this = s;
}

std::string TKL2DACStatus::Describe() const {
    // Ticks print unsigned: a board reporting garbage must not show up as a
    // negative position in the log.
    return fmt::format(
        "DAC: state={} fault={} accepted={} consumed={} queued={}; underflows={} overflows={} "
        "rejected={}; max DAC late={} us; ticks={}/{}",
        unsigned{State}, unsigned{Fault}, Accepted, Consumed, Queued, Underflows, Overflows, Rejected,
        MaxLateUS, PlayedTick, AcceptedTick);
}

int32_t KL2EventWidth(const TKLINKVGMTarget& Target) noexcept {
    return (Target.WriteID == 0x30 || Target.WriteID == 0x50) ? 1 : 2;
}

std::vector<uint8_t> EncodeKL2DACRecords(uint32_t FirstSequence, const TKL2DACChunk& Chunk) {
    const size_t n = Chunk.Records.size();
    if (n == 0 || n > static_cast<size_t>(kKL2MaxRecordsPerPacket) ||
        uint64_t{FirstSequence} + n > std::numeric_limits<uint32_t>::max()) {
        throw WriteError("Invalid KL2 DAC record count/sequence.");
    }
    std::vector<uint8_t> packet(kRecordPacketHeader + 4 * n);
    WriteKL2Field(packet, 0, kFormat, 1);
    WriteKL2Field(packet, 1, kRecordPacketTag, 1);
    WriteKL2Field(packet, 2, 0, 1);
    WriteKL2Field(packet, 3, FirstSequence, 4);
    WriteKL2Field(packet, 7, Chunk.StartTick, 8);
    uint64_t tick = Chunk.StartTick;
    int32_t offset = static_cast<int32_t>(kRecordPacketHeader);
    for (const TKL2DACRecord& r : Chunk.Records) {
        const bool valid = r.Kind <= kKL2RecordDelay &&
                           !(r.Kind == kKL2RecordEnable && r.Value != 0x00 && r.Value != 0x80) &&
                           !(r.Kind == kKL2RecordDelay && (r.Value != 0 || r.Wait == 0)) &&
                           r.Wait <= std::numeric_limits<uint64_t>::max() - tick;
        if (!valid) throw WriteError("Invalid KL2 DAC record.");
        WriteKL2Field(packet, offset, r.Kind, 1);
        WriteKL2Field(packet, offset + 1, r.Value, 1);
        WriteKL2Field(packet, offset + 2, r.Wait, 2);
        offset += 4;
        tick += r.Wait;
    }
    if (tick != Chunk.EndTick) throw WriteError("KL2 DAC chunk end mismatch.");
    return packet;
}

std::vector<uint8_t> EncodeKL2RegisterEvents(std::span<const TKL2RegisterEvent> Events, int32_t First,
                                             int32_t Count) {
    if (First < 0 || Count < 1 || int64_t{First} + Count > static_cast<int64_t>(Events.size())) {
        throw WriteError("Invalid KL2 register event batch.");
    }
    const TKL2RegisterEvent& head = Events[static_cast<size_t>(First)];
    const int32_t w = KL2EventWidth(head.Target);
    if (kEventPacketHeader + int64_t{Count} * w > kKL2MaxEventPayload) {
        throw WriteError("KL2 register event payload too large.");
    }
    std::vector<uint8_t> packet;
    packet.reserve(kEventPacketHeader + static_cast<size_t>(Count * w));
    packet.resize(kEventPacketHeader);
    WriteKL2Field(packet, 0, kFormat, 1);
    WriteKL2Field(packet, 1, head.Tick, 8);
    WriteKL2Field(packet, 9, head.Target.WriteID, 1);
    WriteKL2Field(packet, 10, head.Target.Instance, 1);
    WriteKL2Field(packet, 11, head.Target.Page, 1);
    for (const TKL2RegisterEvent& e :
         Events.subspan(static_cast<size_t>(First), static_cast<size_t>(Count))) {
        // The DAC registers of port 0 belong to the DAC records; a timed write
        // there would race the board's own DAC playback.
        const bool dacRegister = w == 2 && e.Target.Page == 0 && (e.Address == 0x2A || e.Address == 0x2B);
        if (e.Tick != head.Tick || !(e.Target == head.Target) || dacRegister) {
            throw WriteError("Invalid KL2 register event target/order.");
        }
        if (w == 2) packet.push_back(e.Address);
        packet.push_back(e.Value);
    }
    return packet;
}

std::vector<uint8_t> EncodeKL2DACStart(uint32_t LeadTicks) {
    std::vector<uint8_t> payload(5);
    WriteKL2Field(payload, 0, kFormat, 1);
    WriteKL2Field(payload, 1, LeadTicks, 4);
    return payload;
}

std::vector<uint8_t> EncodeKL2DACEnd(uint32_t NextSequence, uint64_t EndTick) {
    std::vector<uint8_t> payload(13);
    WriteKL2Field(payload, 0, kFormat, 1);
    WriteKL2Field(payload, 1, NextSequence, 4);
    WriteKL2Field(payload, 5, EndTick, 8);
    return payload;
}

std::vector<uint8_t> EncodeKL2DACStatusRequest() { return {kFormat}; }

bool KL2EventCreditsFit(uint32_t Sent, uint32_t Consumed, uint16_t Capacity, int32_t Count) {
    if (Sent < Consumed || Count < 0) throw ReadError("Invalid KL2 register event credits.");
    // 64-bit: outstanding events plus Count can pass 2^32 and must not wrap.
    return uint64_t{Capacity} >= uint64_t{Sent - Consumed} + static_cast<uint64_t>(Count);
}

int32_t KL2RegisterBudget(uint64_t Pending, bool Startup, uint64_t InFlight) noexcept {
    // 32 bytes of each window stay free as headroom for framing.
    const uint64_t window = Startup ? 8192 : 1024;
    const uint64_t packetLimit = Startup ? 254 : 128;
    constexpr uint64_t kReserve = 32;
    constexpr uint64_t kInFlightLimit = 224;
    if (Pending >= window - kReserve) return 0;
    uint64_t budget = std::min(window - kReserve - Pending, packetLimit);
    if (!Startup) {
        if (InFlight >= kInFlightLimit) return 0;
        budget = std::min(budget, kInFlightLimit - InFlight);
    }
    return static_cast<int32_t>(budget);
}

}  // namespace klink
