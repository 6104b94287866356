#include "SimKL2DAC.h"

#include <algorithm>

#include "common/Bytes.h"

namespace klink::sim {
namespace {

constexpr uint8_t kYM2612 = 0x52;

uint64_t Get(std::span<const uint8_t> b, size_t at, int width) {
    return LoadLE(b, at, static_cast<size_t>(width));
}
void Put(std::vector<uint8_t>& out, uint64_t v, int width) { AppendLE(out, v, static_cast<size_t>(width)); }

}  // namespace

SimKL2DAC::SimKL2DAC(SimBoardSink& sink, const SimProfile& profile) : sink_(sink), profile_(profile) {
    Reset();
}

void SimKL2DAC::Reset() {
    st_ = {};
    records_.clear();
    nextRecordTick_ = 0;
    events_.clear();
    startRequested_ = false;
    running_ = false;
    lead_ = 0;
    originNs_ = 0;
    stalled_ = false;
    endSequence_ = 0;
    endTick_ = 0;
    dacValue_ = 0x80;
    dacEnabled_ = false;
}

std::vector<uint8_t> SimKL2DAC::EncodeCapabilities() const {
    const SimDACCapabilities& c = profile_.dac;
    std::vector<uint8_t> out;
    out.push_back(1);
    Put(out, c.revision, 4);
    Put(out, c.tickRate, 4);
    Put(out, c.recordCapacity, 4);
    Put(out, c.eventCapacity, 2);
    out.push_back(c.maxRecords);
    out.push_back(c.profile);
    Put(out, c.maxLateUs, 4);
    return out;
}

std::vector<uint8_t> SimKL2DAC::EncodeStatus(const KL2DACStatus& s) {
    std::vector<uint8_t> out{1, static_cast<uint8_t>(s.state), s.fault, s.sealed};
    for (uint32_t v : {s.accepted, s.consumed, s.queued, s.free, s.eventQueued, s.eventConsumed, s.underflows,
                       s.overflows, s.rejected, s.lateDac, s.maxLateUs}) {
        Put(out, v, 4);
    }
    Put(out, s.acceptedTick, 8);
    Put(out, s.playedTick, 8);
    Put(out, s.executedTick, 8);
    return out;
}

int64_t SimKL2DAC::TimeOf(uint64_t tick) const {
    return originNs_ + static_cast<int64_t>(tick * 1'000'000'000ull / kKL2TickRate);
}

void SimKL2DAC::Touch() {
    if (st_.state == KL2DACState::kCleared) st_.state = KL2DACState::kPlaying;
}

void SimKL2DAC::Fault(int64_t timeNs, uint8_t code, const char* what, bool injected) {
    st_.state = KL2DACState::kFaulted;
    st_.fault = code;
    running_ = false;
    SimTraceEvent e;
    e.op = injected ? SimTraceOp::kFault : SimTraceOp::kReject;
    e.what = what;
    sink_.TraceAt(timeNs, e);
}

void SimKL2DAC::Reject(int64_t timeNs, const char* what) {
    ++st_.rejected;
    SimTraceEvent e;
    e.op = SimTraceOp::kReject;
    e.what = what;
    sink_.TraceAt(timeNs, e);
}

void SimKL2DAC::ResumeClock(int64_t timeNs) {
    if (running_ && stalled_) {
        // The clock waited at the end of the buffer; tick playedTick plays now.
        stalled_ = false;
        originNs_ = timeNs - static_cast<int64_t>(st_.playedTick * 1'000'000'000ull / kKL2TickRate);
    }
    TryStartClock(timeNs);
}

void SimKL2DAC::TryStartClock(int64_t timeNs) {
    if (startRequested_ && !running_ && st_.state == KL2DACState::kPlaying &&
        (st_.acceptedTick >= lead_ || st_.sealed != 0)) {
        running_ = true;
        originNs_ = timeNs;
    }
}

bool SimKL2DAC::Start(int64_t timeNs, std::span<const uint8_t> p) {
    AdvanceTo(timeNs);
    if (p.size() != 5 || p[0] != 1 || startRequested_ || st_.state >= KL2DACState::kEnded) return false;
    lead_ = static_cast<uint32_t>(Get(p, 1, 4));
    startRequested_ = true;
    Touch();
    SimTraceEvent e;
    e.op = SimTraceOp::kDACStart;
    e.number = lead_;
    sink_.TraceAt(timeNs, e);
    TryStartClock(timeNs);
    return true;
}

void SimKL2DAC::Records(int64_t timeNs, std::span<const uint8_t> p) {
    AdvanceTo(timeNs);
    if (st_.state >= KL2DACState::kEnded || st_.sealed != 0) {
        Reject(timeNs, "DAC records after the end");
        return;
    }
    if (p.size() < 19 || (p.size() - 15) % 4 != 0 || p[0] != 1 || p[1] != kYM2612 || p[2] != 0) {
        ++st_.rejected;
        Fault(timeNs, kDACFaultInvalid, "invalid DAC_RECORDS");
        return;
    }
    const size_t n = (p.size() - 15) / 4;
    if (n > profile_.dac.maxRecords) {
        ++st_.rejected;
        Fault(timeNs, kDACFaultInvalid, "DAC_RECORDS with more records than advertised");
        return;
    }
    if (Get(p, 3, 4) != st_.accepted || Get(p, 7, 8) != st_.acceptedTick) {
        ++st_.rejected;
        Fault(timeNs, kDACFaultSequence, "DAC records out of sequence");
        return;
    }
    const uint32_t queued = st_.accepted - st_.consumed;
    if (queued + n > profile_.dac.recordCapacity) {
        ++st_.overflows;
        Fault(timeNs, kDACFaultRecordOverflow, "DAC record overflow");
        return;
    }
    std::vector<Record> batch;
    uint64_t ticks = 0;
    for (size_t i = 0; i < n; ++i) {
        Record r{static_cast<KL2RecordKind>(p[15 + 4 * i]), p[16 + 4 * i],
                 static_cast<uint16_t>(Get(p, 17 + 4 * i, 2))};
        if (r.kind > KL2RecordKind::kDelay ||
            (r.kind == KL2RecordKind::kEnable && r.value != 0x00 && r.value != 0x80) ||
            (r.kind == KL2RecordKind::kDelay && (r.value != 0 || r.wait == 0))) {
            ++st_.rejected;
            Fault(timeNs, kDACFaultInvalid, "invalid DAC record");
            return;
        }
        ticks += r.wait;
        batch.push_back(r);
    }
    if (records_.empty()) nextRecordTick_ = st_.acceptedTick;
    records_.insert(records_.end(), batch.begin(), batch.end());
    st_.accepted += static_cast<uint32_t>(n);
    st_.acceptedTick += ticks;
    Touch();
    ResumeClock(timeNs);
    AdvanceTo(timeNs);
}

void SimKL2DAC::RegisterEvents(int64_t timeNs, std::span<const uint8_t> p) {
    AdvanceTo(timeNs);
    if (st_.state >= KL2DACState::kEnded) {
        Reject(timeNs, "register events after the end");
        return;
    }
    if (p.size() < 13 || p.size() > 256 || p[0] != 1) {
        ++st_.rejected;
        Fault(timeNs, kDACFaultInvalid, "invalid REGISTER_EVENTS");
        return;
    }
    const uint64_t tick = Get(p, 1, 8);
    const KLINKVGMTarget target{p[9], p[10], p[11]};
    const SimTarget* t = profile_.Find(target.writeId, target.instance, target.page);
    const size_t width = static_cast<size_t>(KL2EventWidth(target));
    const size_t count = (p.size() - 12) / width;
    bool valid =
        t != nullptr && (t->capability.features & kFeatureBurst) != 0 && (p.size() - 12) % width == 0;
    for (size_t i = 0; valid && width == 2 && i < count; ++i) {
        const uint8_t reg = p[12 + 2 * i];
        if (target.writeId == kYM2612 && target.page == 0 && (reg == 0x2A || reg == 0x2B)) valid = false;
    }
    if (!valid) {
        ++st_.rejected;
        Fault(timeNs, kDACFaultInvalid, "invalid register event");
        return;
    }
    std::vector<Event> batch;
    for (size_t i = 0; i < count; ++i) {
        Event e;
        e.target = target;
        if (width == 2) {
            e.reg = p[12 + 2 * i];
            e.value = p[13 + 2 * i];
        } else {
            e.value = p[12 + i];
        }
        batch.push_back(e);
    }
    Touch();
    if (running_ && tick < st_.playedTick) {
        for (const Event& e : batch) Execute(timeNs, e);
        st_.eventConsumed += static_cast<uint32_t>(count);
        return;
    }
    if (st_.eventQueued + count > profile_.dac.eventCapacity) {
        ++st_.overflows;
        Fault(timeNs, kDACFaultEventOverflow, "register event overflow");
        return;
    }
    for (const Event& e : batch) events_.emplace(tick, e);
    st_.eventQueued += static_cast<uint32_t>(count);
    AdvanceTo(timeNs);
}

void SimKL2DAC::End(int64_t timeNs, std::span<const uint8_t> p) {
    AdvanceTo(timeNs);
    if (st_.state >= KL2DACState::kEnded || st_.sealed != 0) {
        Reject(timeNs, "DAC_END repeated");
        return;
    }
    if (p.size() != 13 || p[0] != 1) {
        ++st_.rejected;
        Fault(timeNs, kDACFaultInvalid, "invalid DAC_END");
        return;
    }
    endSequence_ = static_cast<uint32_t>(Get(p, 1, 4));
    endTick_ = Get(p, 5, 8);
    if (endSequence_ != st_.accepted || endTick_ != st_.acceptedTick) {
        Fault(timeNs, kDACFaultEndMismatch, "DAC_END does not match the records");
        return;
    }
    st_.sealed = 1;
    Touch();
    ResumeClock(timeNs);
    AdvanceTo(timeNs);
}

void SimKL2DAC::ReceiveOverflow(int64_t timeNs) {
    AdvanceTo(timeNs);
    ++st_.overflows;
    if (st_.state == KL2DACState::kFaulted) return;  // the first fault stays
    st_.state = KL2DACState::kFaulted;
    st_.fault = kDACFaultReceiveOverflow;
    running_ = false;
}

KL2DACStatus SimKL2DAC::Status(int64_t timeNs) {
    AdvanceTo(timeNs);
    KL2DACStatus s = st_;
    s.queued = s.accepted - s.consumed;
    s.free = profile_.dac.recordCapacity > s.queued ? profile_.dac.recordCapacity - s.queued : 0;
    return s;
}

void SimKL2DAC::Execute(int64_t timeNs, const Event& e) {
    sink_.ChipWrite(timeNs, e.target.writeId, e.target.instance, e.target.page, e.reg, e.value,
                    SimWriteSource::kEvent);
}

void SimKL2DAC::ExecuteRecord(int64_t timeNs, const Record& r) {
    if (r.kind == KL2RecordKind::kSample) {
        dacValue_ = r.value;
        sink_.ChipWrite(timeNs, kYM2612, 0, 0, 0x2A, r.value, SimWriteSource::kDAC);
    } else if (r.kind == KL2RecordKind::kEnable) {
        dacEnabled_ = (r.value & 0x80) != 0;
        sink_.ChipWrite(timeNs, kYM2612, 0, 0, 0x2B, r.value, SimWriteSource::kDAC);
    }
}

void SimKL2DAC::AdvanceTo(int64_t timeNs) {
    if (!running_ || st_.state != KL2DACState::kPlaying || timeNs < originNs_) return;
    const uint64_t nowTick = static_cast<uint64_t>(timeNs - originNs_) * kKL2TickRate / 1'000'000'000ull;
    for (;;) {
        const uint64_t p = st_.playedTick;
        if (faultCode_ != 0 && p >= faultTick_ && p <= nowTick) {
            Fault(TimeOf(p), faultCode_, "DAC fault", true);
            return;
        }
        const uint64_t limit = std::min(nowTick + 1, st_.acceptedTick);
        if (p >= limit) {
            if (p >= st_.acceptedTick && p <= nowTick) {
                if (st_.sealed != 0) {
                    const int64_t t = TimeOf(p);
                    while (!records_.empty()) {
                        ExecuteRecord(t, records_.front());
                        records_.pop_front();
                        ++st_.consumed;
                    }
                    while (!events_.empty()) {
                        if (events_.begin()->first <= p) {
                            Execute(t, events_.begin()->second);
                            ++st_.eventConsumed;
                        }
                        --st_.eventQueued;
                        events_.erase(events_.begin());
                    }
                    st_.state = KL2DACState::kEnded;
                    running_ = false;
                    SimTraceEvent e;
                    e.op = SimTraceOp::kDACEnd;
                    e.number = p;
                    sink_.TraceAt(t, e);
                } else if (!stalled_) {
                    stalled_ = true;
                    ++st_.underflows;
                }
            }
            return;
        }
        const int64_t t = TimeOf(p);
        while (!events_.empty() && events_.begin()->first <= p) {
            Execute(t, events_.begin()->second);
            events_.erase(events_.begin());
            --st_.eventQueued;
            ++st_.eventConsumed;
            st_.executedTick = p;
        }
        while (!records_.empty() && nextRecordTick_ == p) {
            const Record r = records_.front();
            records_.pop_front();
            ExecuteRecord(t, r);
            ++st_.consumed;
            nextRecordTick_ += r.wait;
            st_.executedTick = p;
        }
        uint64_t next = limit;
        if (!events_.empty()) next = std::min(next, std::max(events_.begin()->first, p + 1));
        if (!records_.empty()) next = std::min(next, nextRecordTick_);
        next = std::max(next, p + 1);
        sink_.DACSamples(dacEnabled_ ? dacValue_ : 0x80, next - p);
        st_.playedTick = next;
    }
}

}  // namespace klink::sim
