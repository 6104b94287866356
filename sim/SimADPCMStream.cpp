#include "SimADPCMStream.h"

#include <algorithm>

#include "SimChips.h"
#include "common/Bytes.h"

namespace klink::sim {
namespace {

constexpr uint8_t kYM2151 = 0x54;

uint32_t Get32(std::span<const uint8_t> b, size_t at) { return LoadLE32(b, at); }
uint16_t Get16(std::span<const uint8_t> b, size_t at) { return LoadLE16(b, at); }
void Put32(std::vector<uint8_t>& out, uint32_t v) { AppendLE32(out, v); }

bool ForOKI(std::span<const uint8_t> p) { return p.size() >= 2 && p[0] == kOKIM6258 && p[1] == 0; }

// A clock (4 bytes) and divider (2 bytes) at `at` that the OKIM6258 can run at.
bool RateSupported(std::span<const uint8_t> b, size_t at) {
    return OKIClockSupported(Get32(b, at)) && OKIDividerSupported(Get16(b, at + 4));
}

}  // namespace

std::vector<uint8_t> SimStreamStatus::Encode() const {
    std::vector<uint8_t> out;
    out.reserve(40);
    for (uint32_t v : {accepted, played, pending, underflows, overflows, rejected, maxPending, flags,
                       lateEvents, maxEventLag}) {
        Put32(out, v);
    }
    return out;
}

SimADPCMStream::SimADPCMStream(SimBoardSink& sink, uint32_t dataCapacity, uint16_t eventCapacity,
                               bool ymEvents)
    : sink_(sink), dataCapacity_(dataCapacity), eventCapacity_(eventCapacity), ymEvents_(ymEvents) {
    Reset();
}

void SimADPCMStream::Reset() {
    status_ = {};
    data_.clear();
    events_.clear();
    heldEvents_ = 0;
    hasEnd_ = false;
    endPosition_ = 0;
    silence_ = 0x80;
    started_ = false;
    stopped_ = false;
    stalled_ = false;
    clock_ = 0;
    divider_ = 0;
    pan_ = 0;
    nextNs_ = 0;
    nextRem_ = 0;
    decoder_.Reset();
}

void SimADPCMStream::Reject(int64_t timeNs, const char* what, bool fatal) {
    ++status_.rejected;
    status_.flags |= kStreamInvalidCommand;
    if (fatal) {
        status_.flags |= kStreamFailed;
        stopped_ = true;
    }
    SimTraceEvent e;
    e.op = SimTraceOp::kReject;
    e.what = what;
    sink_.TraceAt(timeNs, e);
}

void SimADPCMStream::Fail(int64_t timeNs, uint32_t flags, const char* what) {
    status_.flags |= kStreamFailed | flags;
    stopped_ = true;
    SimTraceEvent e;
    e.op = SimTraceOp::kReject;
    e.what = what;
    sink_.TraceAt(timeNs, e);
}

void SimADPCMStream::SetRate(uint32_t clock, uint32_t divider) {
    clock_ = clock;
    divider_ = divider;
    nextRem_ = 0;
}

void SimADPCMStream::UpdatePending() {
    status_.pending = status_.accepted - status_.played;
    status_.maxPending = std::max(status_.maxPending, status_.pending);
}

bool SimADPCMStream::Start(int64_t timeNs, std::span<const uint8_t> p) {
    AdvanceTo(timeNs);
    if (started_) {
        // The stream plays on as it was started; the repeat is only counted.
        ++status_.rejected;
        SimTraceEvent e;
        e.op = SimTraceOp::kReject;
        e.what = "STREAM_START while playing";
        sink_.TraceAt(timeNs, e);
        return false;
    }
    if (p.size() != 8 || !ForOKI(p) || !RateSupported(p, 2)) {
        Reject(timeNs, "invalid STREAM_START", true);
        return false;
    }
    if (neverStart_) {
        SimTraceEvent e;
        e.op = SimTraceOp::kFault;
        e.what = "STREAM_START ignored";
        sink_.TraceAt(timeNs, e);
        return true;
    }
    started_ = true;
    status_.flags |= kStreamStarted;
    SetRate(Get32(p, 2), Get16(p, 6));
    nextNs_ = timeNs;
    decoder_.Reset();
    SimTraceEvent e;
    e.op = SimTraceOp::kStreamStart;
    e.hz = clock_;
    e.divider = divider_;
    sink_.TraceAt(timeNs, e);
    AdvanceTo(timeNs);
    return true;
}

bool SimADPCMStream::Data(int64_t timeNs, std::span<const uint8_t> p) {
    AdvanceTo(timeNs);
    if (p.size() < 7 || p.size() > 256 || !ForOKI(p)) {
        Reject(timeNs, "invalid STREAM_DATA", true);
        return false;
    }
    if (stopped_) return false;
    const uint32_t position = Get32(p, 2);
    const auto bytes = p.subspan(6);
    if (position != status_.accepted) {
        Reject(timeNs, "STREAM_DATA out of order", true);
        return false;
    }
    if (status_.pending + bytes.size() > dataCapacity_) {
        ++status_.overflows;
        Fail(timeNs, kStreamPCMOverflow, "stream data overflow");
        return false;
    }
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    status_.accepted += static_cast<uint32_t>(bytes.size());
    UpdatePending();
    if (stalled_) {
        stalled_ = false;
        nextNs_ = std::max(nextNs_, timeNs);
        nextRem_ = 0;
    }
    AdvanceTo(timeNs);
    return true;
}

bool SimADPCMStream::Events(int64_t timeNs, std::span<const uint8_t> p) {
    AdvanceTo(timeNs);
    if (p.size() < 8 || !ForOKI(p)) {
        Reject(timeNs, "invalid STREAM_EVENTS", true);
        return false;
    }
    if (stopped_) return false;
    const uint32_t position = Get32(p, 2);
    Event ev;
    ev.kind = p[6];
    const auto data = p.subspan(7);
    uint32_t count = 1;
    bool valid = true;
    switch (ev.kind) {
        case 0:
            valid = ymEvents_ && data.size() >= 5 && (data.size() - 3) % 2 == 0 && data[0] == kYM2151 &&
                    data[1] == 0 && data[2] == 0;
            count = valid ? static_cast<uint32_t>((data.size() - 3) / 2) : 0;
            break;
        case 1:
            valid = data.size() == 6 && RateSupported(data, 0);
            break;
        case 2:
            valid = data.size() == 1 && data[0] <= 3;
            break;
        case 3:
            valid = data.size() == 1;
            break;
        default:
            valid = false;
            break;
    }
    if (!valid) {
        Reject(timeNs, "invalid stream event", true);
        return false;
    }
    ev.data.assign(data.begin(), data.end());
    if (ev.kind == 3) {
        hasEnd_ = true;
        endPosition_ = position;
        silence_ = data[0];
        if (stalled_ && endPosition_ <= status_.played) {
            // The buffer ran dry at the end: the board was waiting for this.
            stalled_ = false;
            nextNs_ = std::max(nextNs_, timeNs);
            nextRem_ = 0;
        }
        AdvanceTo(timeNs);
        return true;
    }
    if (started_ && position < status_.played) {
        // Too late for its position: apply it now and count how late it was.
        status_.lateEvents += count;
        status_.maxEventLag = std::max(status_.maxEventLag, status_.played - position);
        Apply(timeNs, ev);
        return true;
    }
    if (heldEvents_ + count > eventCapacity_) {
        Fail(timeNs, kStreamEventOverflow, "stream event overflow");
        return false;
    }
    heldEvents_ += count;
    events_.emplace(position, std::move(ev));
    AdvanceTo(timeNs);
    return true;
}

void SimADPCMStream::Apply(int64_t timeNs, const Event& e) {
    switch (e.kind) {
        case 0:
            for (size_t i = 3; i + 1 < e.data.size(); i += 2) {
                sink_.ChipWrite(timeNs, kYM2151, 0, 0, e.data[i], e.data[i + 1], SimWriteSource::kStream);
            }
            break;
        case 1: {
            SetRate(Get32(e.data, 0), Get16(e.data, 4));
            SimTraceEvent t;
            t.op = SimTraceOp::kClock;
            t.writeId = kOKIM6258;
            t.hz = clock_;
            t.divider = divider_;
            sink_.TraceAt(timeNs, t);
            break;
        }
        case 2: {
            pan_ = e.data[0];
            SimTraceEvent t;
            t.op = SimTraceOp::kPan;
            t.value = pan_;
            sink_.TraceAt(timeNs, t);
            break;
        }
        default:
            break;
    }
}

void SimADPCMStream::ReceiveOverflow(int64_t timeNs) {
    AdvanceTo(timeNs);
    status_.flags |= kStreamFailed | kStreamRxOverflow;
    stopped_ = true;
}

void SimADPCMStream::PlayByte(uint8_t byte) {
    const uint32_t rate = SampleRate();
    sink_.OKISample(static_cast<int16_t>(decoder_.Decode(byte & 0x0F)), rate);
    sink_.OKISample(static_cast<int16_t>(decoder_.Decode(static_cast<uint8_t>(byte >> 4))), rate);
}

void SimADPCMStream::AdvanceTo(int64_t timeNs) {
    if (!started_ || stopped_) return;
    while (!stalled_ && nextNs_ <= timeNs) {
        while (!events_.empty() && events_.begin()->first <= status_.played) {
            const Event& ev = events_.begin()->second;
            heldEvents_ -= ev.kind == 0 ? static_cast<uint32_t>((ev.data.size() - 3) / 2) : 1;
            Apply(nextNs_, ev);
            events_.erase(events_.begin());
        }
        if (faultFlags_ != 0 && status_.played >= faultAfter_) {
            status_.flags |= kStreamFailed | faultFlags_;
            stopped_ = true;
            SimTraceEvent t;
            t.op = SimTraceOp::kFault;
            t.what = "ADPCM stream fault";
            sink_.TraceAt(nextNs_, t);
            break;
        }
        if (hasEnd_ && status_.played >= endPosition_) {
            // The silence byte follows the last stream byte; with it the stream has finished.
            PlayByte(silence_);
            status_.flags |= kStreamFinished;
            stopped_ = true;
            SimTraceEvent t;
            t.op = SimTraceOp::kStreamEnd;
            t.number = endPosition_;
            t.value = silence_;
            sink_.TraceAt(nextNs_, t);
            break;
        }
        if (data_.empty()) {
            stalled_ = true;
            ++status_.underflows;
            status_.flags |= kStreamPCMUnderflow;
            break;
        }
        PlayByte(data_.front());
        data_.pop_front();
        ++status_.played;
        const uint64_t step = uint64_t{divider_} * 2'000'000'000ull + nextRem_;
        nextNs_ += static_cast<int64_t>(step / clock_);
        nextRem_ = step % clock_;
    }
    UpdatePending();
}

}  // namespace klink::sim
