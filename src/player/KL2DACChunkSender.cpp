#include "player/KL2DACChunkSender.h"

#include <span>
#include <vector>

#include "common/Errors.h"

namespace klink {

bool KL2DACChunkSender::Fetch() {
    if (!haveChunk_) {
        haveChunk_ = source_.Next(chunk_, caps_.maxRecords);
        eventIndex_ = 0;
    }
    return haveChunk_;
}

bool KL2DACChunkSender::CanSend(const KL2DACStatus& status) {
    if (status.consumed > sequence_) {
        throw ReadError("KL2 consumed unsent records.");
    }
    if (uint64_t{sequence_ - status.consumed} + chunk_.records.size() > caps_.recordCapacity) {
        return false;
    }
    if (status.eventConsumed > eventsSent_) {
        throw ReadError("KL2 consumed unsent events.");
    }
    if (hostRegisters_) {
        return true;
    }
    int32_t boardEvents = 0;
    for (size_t i = eventIndex_; i < chunk_.events.size(); ++i) {
        const KL2RegisterEvent& e = chunk_.events[i];
        if (!e.initial && router_.IsDACRoute(e.target)) {
            ++boardEvents;
        }
    }
    if (!KL2EventCreditsFit(eventsSent_, status.eventConsumed, caps_.eventCapacity, boardEvents)) {
        hostRegisters_ = true;
    }
    return true;
}

bool KL2DACChunkSender::Send(const KLINKCancel& cancel) {
    if (chunk_.startTick != tick_) {
        throw WriteError("Noncontiguous KL2 DAC chunk.");
    }
    const std::span<const KL2RegisterEvent> events(chunk_.events);
    while (eventIndex_ < events.size()) {
        const KL2RegisterEvent& e = events[eventIndex_];
        if (e.initial) {
            if (!WriteInitialEvent(e, cancel)) {
                return false;
            }
            ++eventIndex_;
        } else if (!hostRegisters_ && router_.IsDACRoute(e.target)) {
            const int32_t count = BatchLength(eventIndex_);
            const std::vector<uint8_t> payload =
                EncodeKL2RegisterEvents(events, static_cast<int32_t>(eventIndex_), count);
            if (!dac_.TrySendPacket(Opcode::kRegisterEvents, payload, cancel, false)) {
                return false;
            }
            eventsSent_ += static_cast<uint32_t>(count);
            eventIndex_ += static_cast<size_t>(count);
        } else {
            host_.Push(e);
            ++eventIndex_;
        }
    }
    const std::vector<uint8_t> records = EncodeKL2DACRecords(sequence_, chunk_);
    if (!dac_.TrySendPacket(Opcode::kDACRecords, records, cancel, false)) {
        return false;
    }
    sequence_ += static_cast<uint32_t>(chunk_.records.size());
    tick_ = chunk_.endTick;
    haveChunk_ = false;
    return true;
}

void KL2DACChunkSender::SendEnd(const KLINKCancel& cancel) {
    if (endSent_) {
        return;
    }
    endSent_ = dac_.TrySendPacket(Opcode::kDACEnd, EncodeKL2DACEnd(sequence_, tick_), cancel, true);
}

bool KL2DACChunkSender::WriteInitialEvent(const KL2RegisterEvent& event, const KLINKCancel& cancel) {
    const KLINKVGMTarget& t = event.target;
    const uint8_t pair[2] = {event.address, event.value};
    const std::span<const uint8_t> data =
        KL2EventWidth(t) == 1 ? std::span<const uint8_t>(&event.value, 1) : std::span<const uint8_t>(pair);
    if (router_.IsDACRoute(t)) {
        return dac_.TryWriteRegisters(t.writeId, t.instance, t.page, data, cancel);
    }
    router_.WriteRegisters(t.writeId, t.instance, t.page, data, cancel);
    return true;
}

int32_t KL2DACChunkSender::BatchLength(size_t first) const {
    const KL2RegisterEvent& head = chunk_.events[first];
    const int32_t limit = KL2EventWidth(head.target) == 1 ? kKL2MaxOneByteEvents : kKL2MaxTwoByteEvents;
    int32_t count = 1;
    for (size_t i = first + 1; i < chunk_.events.size() && count < limit; ++i) {
        const KL2RegisterEvent& e = chunk_.events[i];
        if (e.initial || e.tick != head.tick || e.target != head.target) {
            break;
        }
        ++count;
    }
    return count;
}

}  // namespace klink
