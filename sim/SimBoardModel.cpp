#include "SimBoardModel.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "common/Bytes.h"
#include "vgm/VGMChips.h"

namespace klink::sim {
namespace {

constexpr uint8_t kMaxAttenuation = 96;

uint32_t Get32(std::span<const uint8_t> b, size_t at) { return LoadLE32(b, at); }

// The highest register address a register batch may carry for a chip.
uint8_t RegisterLimit(uint8_t writeId) { return RegisterAddressLimit(writeId); }

}  // namespace

std::vector<uint8_t> EncodeFrameWithBadCrc(MessageType messageType, Opcode opcode, uint16_t requestId,
                                           std::span<const uint8_t> payload) {
    std::vector<uint8_t> wire = EncodeFrame(messageType, opcode, requestId, payload);
    // The raw frame ends in its CRC. Follow the COBS code bytes to the last
    // stuffed data byte (the CRC's high byte unless that is zero) and give it
    // another nonzero value: the stuffing stays valid, the CRC check fails.
    size_t last = 0;
    for (size_t code = 1; code + 1 < wire.size(); code += wire[code]) {
        if (wire[code] > 1) last = code + wire[code] - 1;
    }
    wire[last] = static_cast<uint8_t>(wire[last] == 0xFF ? 0x01 : wire[last] + 1);
    return wire;
}

SimBoardModel::SimBoardModel(SimProfile profile, std::string name)
    : profile_(std::make_unique<SimProfile>(std::move(profile))),
      name_(std::move(name)),
      chips_(*profile_),
      stream_(*this, profile_->dataCapacity, profile_->eventCapacity,
              profile_->Find(0x54, 0, 0) != nullptr &&
                  (profile_->Find(0x54, 0, 0)->capability.features & kFeatureStreamEvents) != 0),
      dac_(*this, *profile_) {}

void SimBoardModel::SetFaults(SimFaults faults) {
    faults_ = std::move(faults);
    ruleCounts_.assign(faults_.replies.size(), 0);
    stream_.SetFault(faults_.adpcmFaultFlags, faults_.adpcmFaultAfterBytes);
    stream_.SetNeverStart(faults_.neverStartStream);
    dac_.SetFault(faults_.dacFaultCode, faults_.dacFaultAtTick);
}

void SimBoardModel::Feed(uint8_t byte, int64_t timeNs) {
    KLINKFrame frame;
    if (decoder_.Feed(byte, static_cast<uint64_t>(timeNs / 1'000'000), frame)) HandleFrame(frame, timeNs);
}

void SimBoardModel::AdvanceTo(int64_t timeNs) {
    stream_.AdvanceTo(timeNs);
    dac_.AdvanceTo(timeNs);
}

std::vector<SimReply> SimBoardModel::TakeReplies() { return std::exchange(replies_, {}); }
std::vector<SimTraceEvent> SimBoardModel::TakeTrace() { return std::exchange(trace_, {}); }

void SimBoardModel::TraceAt(int64_t timeNs, SimTraceEvent event) {
    event.timeUs = timeNs < 0 ? 0 : static_cast<uint64_t>(timeNs / 1000);
    trace_.push_back(std::move(event));
}

void SimBoardModel::ChipWrite(int64_t timeNs, uint8_t writeId, uint8_t instance, uint8_t page, int reg,
                              uint8_t value, SimWriteSource source) {
    if (reg < 0) {
        chips_.WritePSGByte(writeId, instance, value);
    } else {
        chips_.WriteRegister(writeId, instance, page, static_cast<uint8_t>(reg), value);
    }
    SimTraceEvent e;
    e.op = SimTraceOp::kReg;
    e.writeId = writeId;
    e.instance = instance;
    e.page = page;
    e.reg = static_cast<int16_t>(reg);
    e.value = value;
    e.source = source;
    TraceAt(timeNs, std::move(e));
}

void SimBoardModel::OKISample(int16_t sample, uint32_t sampleRate) {
    if (wav_ != nullptr) wav_->OKISample(sample, sampleRate);
}

void SimBoardModel::DACSamples(uint8_t value, uint64_t count) {
    if (wav_ != nullptr) wav_->DACSamples(value, count);
}

void SimBoardModel::Reject(int64_t timeNs, std::string what) {
    ++rejected_;
    SimTraceEvent e;
    e.op = SimTraceOp::kReject;
    e.what = std::move(what);
    TraceAt(timeNs, std::move(e));
}

void SimBoardModel::Fault(int64_t timeNs, std::string what) {
    SimTraceEvent e;
    e.op = SimTraceOp::kFault;
    e.what = std::move(what);
    TraceAt(timeNs, std::move(e));
}

void SimBoardModel::NoteLineFault(int64_t timeNs, std::string what) { Fault(timeNs, std::move(what)); }

void SimBoardModel::Reset(int64_t timeNs) {
    chips_.Reset();
    attenuation_ = 0;
    stream_.Reset();
    dac_.Reset();
    receivePhase_ = profile_->receive.startupBytes != 0 ? SimReceivePhase::kStartup : SimReceivePhase::kFree;
    SimTraceEvent e;
    e.op = SimTraceOp::kReset;
    TraceAt(timeNs, std::move(e));
}

bool SimBoardModel::TakeIntoReceiveBuffer(const KLINKFrame& f, size_t wireBytes, int64_t timeNs) {
    const SimReceiveBuffer& r = profile_->receive;
    const bool control = f.opcode == Opcode::kSetOutputVolume || f.opcode == Opcode::kDACEnd;
    uint64_t limit = 0;
    switch (receivePhase_) {
        case SimReceivePhase::kFree:
            break;
        case SimReceivePhase::kStartup:
            limit = r.startupBytes;
            break;
        case SimReceivePhase::kWindow:
            limit = control ? r.windowControlBytes : r.windowDataBytes;
            break;
    }
    if (limit == 0 || unansweredBytes_ + wireBytes <= limit) {
        unansweredBytes_ += wireBytes;
        return true;
    }
    Reject(timeNs,
           fmt::format("receive buffer overflow: ${:02X} packet of {} bytes after {} unanswered bytes",
                       OpcodeByte(f.opcode), wireBytes, unansweredBytes_));
    // The board's own overflow flags: the stream fails with rx-overflow, the DAC with its fault.
    if (profile_->HasADPCMStream()) stream_.ReceiveOverflow(timeNs);
    if (profile_->HasKL2DAC()) dac_.ReceiveOverflow(timeNs);
    return false;
}

void SimBoardModel::FreeReceiveBuffer(const KLINKFrame& f) {
    unansweredBytes_ = 0;
    if (receivePhase_ != SimReceivePhase::kStartup) return;
    const bool emptyPing = f.opcode == Opcode::kPing && f.payload.empty();
    if (!profile_->receive.fencedStartup || emptyPing) receivePhase_ = SimReceivePhase::kFree;
}

void SimBoardModel::HandleFrame(const KLINKFrame& f, int64_t timeNs) {
    AdvanceTo(timeNs);
    if (f.messageType == MessageType::kPacket) {
        // The host counts a packet as its whole wire frame.
        const size_t wireBytes = EncodeFrame(f.messageType, f.opcode, f.requestId, f.payload).size();
        if (!TakeIntoReceiveBuffer(f, wireBytes, timeNs)) return;
        ++packets_;
        HandlePacket(f, timeNs);
        return;
    }
    if (f.messageType != MessageType::kRequest) return;  // a reply sent to the board means nothing to it
    ++requests_;
    // Before the request takes effect: a RESET starts a new start-up, a DAC_START the window.
    FreeReceiveBuffer(f);

    // Which reply rules match this request.
    bool drop = false, corrupt = false, stale = false, empty = false, wrongEcho = false;
    std::optional<uint8_t> status;
    int64_t delayNs = 0;
    for (size_t i = 0; i < faults_.replies.size(); ++i) {
        const SimReplyRule& r = faults_.replies[i];
        if (r.opcode && *r.opcode != f.opcode) continue;
        ++ruleCounts_[i];
        if (r.nth != 0 && ruleCounts_[i] != r.nth) continue;
        switch (r.action) {
            case SimReplyAction::kDrop:
                drop = true;
                break;
            case SimReplyAction::kDelay:
                delayNs += int64_t{r.delayMs} * 1'000'000;
                break;
            case SimReplyAction::kCorruptCrc:
                corrupt = true;
                break;
            case SimReplyAction::kStatus:
                status = r.status;
                break;
            case SimReplyAction::kStaleRequestID:
                stale = true;
                break;
            case SimReplyAction::kEmptyPayload:
                empty = true;
                break;
            case SimReplyAction::kWrongEcho:
                wrongEcho = f.opcode == Opcode::kPing;
                break;
        }
    }

    Answer a;
    if (status) {
        a.status = *status;
        Fault(timeNs, fmt::format("status {} for request ${:02X}", *status, OpcodeByte(f.opcode)));
    } else {
        a = HandleRequest(f, timeNs);
    }
    // A reply frame holds at most kMaxPayload bytes, status included. A
    // PING too long to echo (or a profile text or raw page too long to send)
    // is refused: the request still gets its one reply.
    if (a.data.size() >= static_cast<size_t>(kMaxPayload)) a = {kStatusMalformed, {}};
    if (wrongEcho) {
        if (a.data.empty()) {
            a.data = {'?'};
        } else {
            a.data.back() = static_cast<uint8_t>(a.data.back() ^ 0x20);
        }
        Fault(timeNs, "wrong PING echo");
    }
    if (drop) {
        Fault(timeNs, fmt::format("reply to ${:02X} dropped", OpcodeByte(f.opcode)));
        return;
    }
    std::vector<uint8_t> payload;
    if (empty) {
        Fault(timeNs, fmt::format("empty reply to ${:02X}", OpcodeByte(f.opcode)));
    } else {
        payload.push_back(a.status);
        payload.insert(payload.end(), a.data.begin(), a.data.end());
    }
    uint16_t id = f.requestId;
    if (stale) {
        id = static_cast<uint16_t>(id - 1);
        Fault(timeNs, fmt::format("stale request ID in reply to ${:02X}", OpcodeByte(f.opcode)));
    }
    SimReply reply;
    if (corrupt) {
        reply.wire = EncodeFrameWithBadCrc(MessageType::kReply, f.opcode, id, payload);
        Fault(timeNs, fmt::format("corrupt CRC in reply to ${:02X}", OpcodeByte(f.opcode)));
    } else {
        reply.wire = EncodeFrame(MessageType::kReply, f.opcode, id, payload);
    }
    if (delayNs > 0)
        Fault(timeNs,
              fmt::format("reply to ${:02X} delayed {} ms", OpcodeByte(f.opcode), delayNs / 1'000'000));
    reply.readyNs = timeNs + delayNs;
    replies_.push_back(std::move(reply));
}

SimBoardModel::Answer SimBoardModel::HandleRequest(const KLINKFrame& f, int64_t timeNs) {
    const std::span<const uint8_t> p(f.payload);
    switch (f.opcode) {
        case Opcode::kReset:
            Reset(timeNs);
            return {};
        case Opcode::kPing:
            return {kStatusDone, f.payload};
        case Opcode::kDeviceInfo:
            return DeviceInfo();
        case Opcode::kSetOutputVolume:
            if ((profile_->controlFeatures & kControlAttenuation) == 0) return {kStatusUnknownOpcode, {}};
            if (p.size() != 1) return {kStatusMalformed, {}};
            return {SetVolume(p, timeNs) ? kStatusDone : kStatusOutOfRange, {}};
        case Opcode::kSetChipClock:
            return SetChipClock(p, timeNs);
        case Opcode::kCapabilities:
            return Capabilities(p);
        case Opcode::kAudioStatus:
            if (!profile_->HasADPCMStream()) return {kStatusUnknownOpcode, {}};
            if (p.size() != 2) return {kStatusMalformed, {}};
            if (p[0] != kOKIM6258 || p[1] != 0) return {kStatusUnsupported, {}};
            return {kStatusDone, stream_.Status().Encode()};
        case Opcode::kDACCapabilities:
            if (!profile_->HasKL2DAC()) return {kStatusUnknownOpcode, {}};
            if (!p.empty()) return {kStatusMalformed, {}};
            return {kStatusDone, dac_.EncodeCapabilities()};
        case Opcode::kDACStart:
            if (!profile_->HasKL2DAC()) return {kStatusUnknownOpcode, {}};
            if (p.size() != 5 || p[0] != 1) return {kStatusMalformed, {}};
            if (!dac_.Start(timeNs, p)) return {kStatusConflict, {}};
            receivePhase_ = SimReceivePhase::kWindow;
            return {};
        case Opcode::kDACStatus:
            if (!profile_->HasKL2DAC()) return {kStatusUnknownOpcode, {}};
            if (p.size() != 1 || p[0] != 1) return {kStatusMalformed, {}};
            return {kStatusDone, SimKL2DAC::EncodeStatus(dac_.Status(timeNs))};
        default:
            return {kStatusUnknownOpcode, {}};
    }
}

bool SimBoardModel::SetVolume(std::span<const uint8_t> p, int64_t timeNs) {
    if (p[0] > kMaxAttenuation) return false;
    attenuation_ = p[0];
    SimTraceEvent e;
    e.op = SimTraceOp::kVolume;
    e.number = attenuation_;
    TraceAt(timeNs, std::move(e));
    return true;
}

SimBoardModel::Answer SimBoardModel::DeviceInfo() const {
    const std::string model = profile_->model.substr(0, 255);
    const std::string firmware = profile_->firmware.substr(0, 255);
    Answer a;
    switch (faults_.deviceInfo) {
        case SimDeviceInfoFault::kShort:
            a.data = {0};
            return a;
        case SimDeviceInfoFault::kModelLength:
            a.data.push_back(static_cast<uint8_t>(std::min<size_t>(255, model.size() + 5)));
            a.data.insert(a.data.end(), model.begin(), model.end());
            return a;
        case SimDeviceInfoFault::kFirmwareLength:
        case SimDeviceInfoFault::kNone:
            break;
    }
    a.data.push_back(static_cast<uint8_t>(model.size()));
    a.data.insert(a.data.end(), model.begin(), model.end());
    const size_t claimed =
        firmware.size() + (faults_.deviceInfo == SimDeviceInfoFault::kFirmwareLength ? 3 : 0);
    a.data.push_back(static_cast<uint8_t>(std::min<size_t>(255, claimed)));
    a.data.insert(a.data.end(), firmware.begin(), firmware.end());
    return a;
}

SimBoardModel::Answer SimBoardModel::Capabilities(std::span<const uint8_t> p) const {
    if (p.size() != 2) return {kStatusMalformed, {}};
    const uint16_t offset = static_cast<uint16_t>(p[0] | (p[1] << 8));
    const auto& pages = profile_->pages;
    auto it =
        std::find_if(pages.begin(), pages.end(), [&](const SimPage& pg) { return pg.offset == offset; });
    if (it == pages.end()) return {kStatusOutOfRange, {}};
    if (it->raw) return {kStatusDone, *it->raw};
    const size_t index = static_cast<size_t>(it - pages.begin());
    const size_t second = std::min<size_t>(1, pages.size() - 1);
    KLINKCapabilityPage page = it->page;
    const KLINKCapability* first = pages[0].page.entries.empty() ? nullptr : &pages[0].page.entries[0];
    switch (faults_.capabilities) {
        case SimCapabilityFault::kNone:
            break;
        case SimCapabilityFault::kHeaderChanged:
            if (index == second && index != 0)
                page.maxPayload = static_cast<uint16_t>(page.maxPayload == 256 ? 255 : 256);
            break;
        case SimCapabilityFault::kDuplicateEntry:
            if (index == second && first != nullptr) page.entries.push_back(*first);
            break;
        case SimCapabilityFault::kClockMismatch:
            if (index == second && first != nullptr) {
                KLINKCapability other = *first;
                other.page = static_cast<uint8_t>(first->page ^ 1);
                other.features = kFeatureBurst;
                other.clockMode = ClockMode::kFixed;
                other.fixedClockHz = first->fixedClockHz == 3579545 ? 4000000 : 3579545;
                page.entries.push_back(other);
            }
            break;
        case SimCapabilityFault::kSelfNext:
            if (index == 0) page.nextOffset = it->offset;
            break;
        case SimCapabilityFault::kBadLength:
            if (index == 0) {
                std::vector<uint8_t> bytes = EncodeCapabilityPage(page);
                bytes[12] = static_cast<uint8_t>(bytes[12] + 1);
                return {kStatusDone, bytes};
            }
            break;
        case SimCapabilityFault::kSmallPayload:
            page.maxPayload = 128;
            break;
    }
    return {kStatusDone, EncodeCapabilityPage(page)};
}

SimBoardModel::Answer SimBoardModel::SetChipClock(std::span<const uint8_t> p, int64_t timeNs) {
    if (p.size() != 6) return {kStatusMalformed, {}};
    const uint8_t id = p[0];
    const uint8_t inst = p[1];
    const uint32_t hz = Get32(p, 2);
    switch (chips_.SetClock(id, inst, hz)) {
        case SimClockResult::kDone:
            break;
        case SimClockResult::kUnsupported:
            return {kStatusUnsupported, {}};
        case SimClockResult::kOutOfRange:
            return {kStatusOutOfRange, {}};
        case SimClockResult::kConflict:
            return {kStatusConflict, {}};
    }
    SimTraceEvent e;
    e.op = SimTraceOp::kClock;
    e.writeId = id;
    e.instance = inst;
    e.hz = hz;
    TraceAt(timeNs, std::move(e));
    return {};
}

void SimBoardModel::HandlePacket(const KLINKFrame& f, int64_t timeNs) {
    const std::span<const uint8_t> p(f.payload);
    switch (f.opcode) {
        case Opcode::kSetOutputVolume:
            if ((profile_->controlFeatures & kControlAttenuation) == 0 || p.size() != 1 ||
                !SetVolume(p, timeNs)) {
                Reject(timeNs, "invalid SET_OUTPUT_VOLUME packet");
            }
            return;
        case Opcode::kStreamData:
        case Opcode::kStreamEvents:
        case Opcode::kStreamStart:
            if (!profile_->HasADPCMStream()) {
                Reject(timeNs, fmt::format("no ADPCM stream for packet ${:02X}", OpcodeByte(f.opcode)));
                return;
            }
            if (f.opcode == Opcode::kStreamData) {
                (void)stream_.Data(timeNs, p);
            } else if (f.opcode == Opcode::kStreamEvents) {
                (void)stream_.Events(timeNs, p);
            } else {
                (void)stream_.Start(timeNs, p);
            }
            return;
        case Opcode::kDACRecords:
        case Opcode::kDACEnd:
        case Opcode::kRegisterEvents:
            if (!profile_->HasKL2DAC()) {
                Reject(timeNs, fmt::format("no KL2 DAC for packet ${:02X}", OpcodeByte(f.opcode)));
                return;
            }
            if (f.opcode == Opcode::kDACRecords) {
                dac_.Records(timeNs, p);
            } else if (f.opcode == Opcode::kDACEnd) {
                dac_.End(timeNs, p);
            } else {
                dac_.RegisterEvents(timeNs, p);
            }
            return;
        default:
            break;
    }
    if (f.opcode >= Opcode::kRegisterWriteFirst) {
        RegisterWrite(f, timeNs);
        return;
    }
    Reject(timeNs, fmt::format("unknown packet ${:02X}", OpcodeByte(f.opcode)));
}

void SimBoardModel::RegisterWrite(const KLINKFrame& f, int64_t timeNs) {
    const std::span<const uint8_t> p(f.payload);
    const uint8_t id = OpcodeByte(f.opcode);
    if (p.size() < 3) {
        Reject(timeNs, fmt::format("short register write ${:02X}", id));
        return;
    }
    const uint8_t inst = p[0];
    const uint8_t page = p[1];
    const SimTarget* t = profile_->Find(id, inst, page);
    if (t == nullptr || (t->capability.features & kFeatureBurst) == 0) {
        Reject(timeNs, fmt::format("unavailable register target ${:02X}/{}/{}", id, inst, page));
        return;
    }
    const auto data = p.subspan(2);
    if (UsesByteBatch(id)) {
        if (page != 0 || data.size() > kMaxBatchBytes) {
            Reject(timeNs, fmt::format("invalid byte batch ${:02X}", id));
            return;
        }
        for (uint8_t b : data) ChipWrite(timeNs, id, inst, page, -1, b, SimWriteSource::kHost);
        return;
    }
    if (data.size() % 2 != 0 || data.size() > kMaxBatchBytes) {
        Reject(timeNs, fmt::format("invalid register batch ${:02X}", id));
        return;
    }
    for (size_t i = 0; i < data.size(); i += 2) {
        if (data[i] > RegisterLimit(id)) {
            Reject(timeNs, fmt::format("invalid register address ${:02X} for ${:02X}", data[i], id));
            return;
        }
    }
    for (size_t i = 0; i < data.size(); i += 2) {
        ChipWrite(timeNs, id, inst, page, data[i], data[i + 1], SimWriteSource::kHost);
    }
}

}  // namespace klink::sim
