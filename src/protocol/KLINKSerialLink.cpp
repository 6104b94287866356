#include "protocol/KLINKSerialLink.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "common/Bytes.h"
#include "common/Errors.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "transport/BufferedSerialWriter.h"

namespace klink {
namespace {

constexpr const char* kCancelled = "Playback cancelled.";
constexpr const char* kWindowFull = "KLINK receive window is full; wait for a STATUS reply.";
constexpr const char* kNotAttached = "KLINK input is not attached.";
constexpr const char* kAudioStatusTimeout = "KLINK AUDIO_STATUS timeout.";
constexpr std::array<uint8_t, 5> kProbePayload = {'K', 'L', 'I', 'N', 'K'};
constexpr std::array<uint8_t, 2> kAudioStatusPayload = {kWriteOKIM6258, 0x00};
constexpr int kProbeAttempts = 3;

bool StopRequested(const KLINKCancel& cancel) { return cancel && cancel(); }

void CheckCancel(const KLINKCancel& cancel) {
    if (StopRequested(cancel)) {
        throw AbortError(kCancelled);
    }
}

// Board texts go into logs and window captions: an invalid UTF-8 sequence
// becomes U+FFFD instead of passing raw bytes on.
std::string DecodeUTF8(std::span<const uint8_t> bytes) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t b = bytes[i];
        size_t length = 0;
        uint32_t minimum = 0;
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        if ((b & 0xE0) == 0xC0) {
            length = 2;
            minimum = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            length = 3;
            minimum = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            length = 4;
            minimum = 0x10000;
        }
        bool valid = length != 0 && i + length <= bytes.size();
        uint32_t code = valid ? (b & (0x7F >> length)) : 0;
        for (size_t k = 1; valid && k < length; ++k) {
            const uint8_t c = bytes[i + k];
            valid = (c & 0xC0) == 0x80;
            code = (code << 6) | (c & 0x3F);
        }
        valid = valid && code >= minimum && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (valid) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), length);
            i += length;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

}  // namespace

KLINKLinkClock KLINKLinkClock::System() {
    return {[] { return platform::TickCount64(); }, [](uint32_t ms) { platform::SleepMs(ms); }};
}

KLINKSerialLink::KLINKSerialLink(BufferedSerialWriter& writer, KLINKLinkClock clock)
    : writer_(writer), clock_(std::move(clock)), readBuffer_(kPumpChunkBytes) {
    requestId_ = static_cast<uint16_t>(clock_.nowMs() & 0xFFFF);
}

void KLINKSerialLink::AttachPort(platform::OSHandle port) noexcept {
    port_ = port;
    startup_ = {};
    receive_ = {};
    expectedReceiveFence_ = 0;
    decoder_.Clear();
    statusPending_ = false;
    hasReply_ = false;
}

void KLINKSerialLink::DetachPort() noexcept {
    port_ = platform::kInvalidOSHandle;
    decoder_.Clear();
    statusPending_ = false;
    hasReply_ = false;
    reply_.clear();
}

uint16_t KLINKSerialLink::NextRequestID() noexcept {
    requestId_ = static_cast<uint16_t>(requestId_ + 1);
    return requestId_;
}

void KLINKSerialLink::PumpInput() {
    // A detached link has no handle to ask; say so instead of an OS error
    // about a bad descriptor.
    if (!platform::IsValidHandle(port_)) {
        throw ReadError(kNotAttached);
    }
    KLINKFrame frame;
    for (int round = 0; round < kPumpRounds; ++round) {
        const uint32_t queued = platform::QuerySerialQueues(port_).input;
        if (queued == 0) {
            return;
        }
        const uint32_t want = std::min<uint32_t>(queued, kPumpChunkBytes);
        const uint32_t got = platform::ReadSerialPort(port_, std::span(readBuffer_.data(), want));
        if (got == 0) {
            return;
        }
        const uint64_t now = clock_.nowMs();
        for (uint32_t i = 0; i < got; ++i) {
            if (!decoder_.Feed(readBuffer_[i], now, frame)) {
                continue;
            }
            // Anything but the answer to the outstanding request (board
            // chatter, late answers to timed-out requests) is dropped.
            if (frame.messageType != MessageType::kReply || frame.opcode != expectedOpcode_ ||
                frame.requestId != expectedRequest_) {
                continue;
            }
            reply_ = std::move(frame.payload);
            frame.payload.clear();
            receive_.Confirm(expectedReceiveFence_);
            hasReply_ = true;
        }
    }
}

std::vector<uint8_t> KLINKSerialLink::TakeReply() {
    if (reply_.empty()) {
        throw ReadError("Empty KLINK response.");
    }
    if (reply_[0] != 0) {
        throw ReadError(fmt::format("KLINK command ${:02X} rejected (status={}, transaction={}).",
                                    OpcodeByte(expectedOpcode_), reply_[0], expectedRequest_));
    }
    return {reply_.begin() + 1, reply_.end()};
}

void KLINKSerialLink::BeginRequest(Opcode opcode, std::span<const uint8_t> payload) {
    // Encode first: a refused payload leaves the outstanding request as it was.
    const uint16_t id = static_cast<uint16_t>(requestId_ + 1);
    const std::vector<uint8_t> frame = EncodeFrame(MessageType::kRequest, opcode, id, payload);
    requestId_ = id;
    expectedRequest_ = id;
    expectedOpcode_ = opcode;
    expectedReceiveFence_ = receive_.submitted;
    hasReply_ = false;
    reply_.clear();
    writer_.Enqueue(frame);
}

void KLINKSerialLink::WaitForPendingAudioStatus() {
    while (statusPending_) {
        PumpInput();
        if (hasReply_) {
            // Nobody asked for this answer any more.
            statusPending_ = false;
            hasReply_ = false;
            return;
        }
        if (clock_.nowMs() - statusStarted_ >= kAudioStatusTimeoutMs) {
            statusPending_ = false;
            throw ReadError(kAudioStatusTimeout);
        }
        clock_.sleepMs(1);
    }
}

std::vector<uint8_t> KLINKSerialLink::Request(Opcode opcode, std::span<const uint8_t> payload,
                                              const KLINKCancel& cancel) {
    if (!platform::IsValidHandle(port_)) {
        throw ReadError(kNotAttached);
    }
    CheckCancel(cancel);
    WaitForPendingAudioStatus();
    BeginRequest(opcode, payload);
    // The reply clock starts once the request is on its way, so a backlog
    // in the writer does not count against it.
    writer_.Drain();
    const uint64_t started = clock_.nowMs();
    for (;;) {
        PumpInput();
        if (hasReply_) {
            break;
        }
        CheckCancel(cancel);
        if (clock_.nowMs() - started >= kReplyTimeoutMs) {
            throw ReadError(fmt::format("KLINK response timeout (command ${:02X}).", OpcodeByte(opcode)));
        }
        clock_.sleepMs(1);
    }
    hasReply_ = false;
    return TakeReply();
}

std::optional<std::vector<uint8_t>> KLINKSerialLink::TryControlReply() {
    PumpInput();
    if (!hasReply_) {
        return std::nullopt;
    }
    hasReply_ = false;
    return TakeReply();
}

bool KLINKSerialLink::TrySubmitFrame(std::span<const uint8_t> frame, const KLINKCancel& cancel,
                                     bool control) {
    CheckCancel(cancel);
    const auto length = static_cast<int32_t>(frame.size());
    if (!receive_.CanSubmit(length, control)) {
        return false;
    }
    if (startup_.NeedsFence(length)) {
        try {
            if (!Request(Opcode::kPing, {}, cancel).empty()) {
                throw ReadError("Invalid startup fence response.");
            }
        } catch (const ReadError& e) {
            throw ReadError(fmt::format("KLINK startup fence failed after {} unconfirmed bytes: {}",
                                        startup_.pending, e.what()));
        }
        startup_.FenceCompleted();
    }
    writer_.Enqueue(frame);
    startup_.Submitted(length);
    receive_.Submitted(length, control);
    return true;
}

void KLINKSerialLink::SubmitFrame(std::span<const uint8_t> frame, const KLINKCancel& cancel) {
    if (!TrySubmitFrame(frame, cancel, false)) {
        throw WriteError(kWindowFull);
    }
}

bool KLINKSerialLink::TrySendPacket(Opcode opcode, std::span<const uint8_t> payload,
                                    const KLINKCancel& cancel, bool control) {
    CheckCancel(cancel);
    const std::vector<uint8_t> frame = EncodeFrame(MessageType::kPacket, opcode, NextRequestID(), payload);
    if (opcode == Opcode::kSetOutputVolume) {
        control = true;
    }
    return TrySubmitFrame(frame, cancel, control);
}

void KLINKSerialLink::SendPacket(Opcode opcode, std::span<const uint8_t> payload, const KLINKCancel& cancel) {
    if (!TrySendPacket(opcode, payload, cancel, false)) {
        throw WriteError(kWindowFull);
    }
}

void KLINKSerialLink::BeginReceiveWindow() noexcept {
    receive_.BeginTransfer();
    // A request queued before this point proves nothing about the packets of
    // the new window; its reply must not confirm them, nor fail as a fence
    // beyond the (reset) submitted count.
    expectedReceiveFence_ = 0;
}

void KLINKSerialLink::Probe(const KLINKCancel& cancel) {
    for (int attempt = 1;; ++attempt) {
        try {
            const std::vector<uint8_t> echo = Request(Opcode::kPing, kProbePayload, cancel);
            if (std::ranges::equal(echo, kProbePayload)) {
                return;
            }
            throw ReadError("KLINK PING echo mismatch.");
        } catch (const ReadError&) {
            if (attempt >= kProbeAttempts || StopRequested(cancel)) {
                throw;
            }
        }
    }
}

std::string KLINKSerialLink::DeviceInfo(const KLINKCancel& cancel) {
    const std::vector<uint8_t> data = Request(Opcode::kDeviceInfo, {}, cancel);
    const size_t length = data.size();
    if (length < 2) {
        throw ReadError("Invalid KLINK device info.");
    }
    const size_t modelLength = data[0];
    if (modelLength + 1 >= length) {
        throw ReadError("Invalid KLINK model length.");
    }
    const size_t firmwareLength = data[modelLength + 1];
    if (modelLength + firmwareLength + 2 != length) {
        throw ReadError("Invalid KLINK firmware length.");
    }
    const std::span<const uint8_t> bytes(data);
    std::string model = DecodeUTF8(bytes.subspan(1, modelLength));
    const std::string firmware = DecodeUTF8(bytes.subspan(modelLength + 2, firmwareLength));
    deviceName_ = model;
    return model + " / Firmware " + firmware;
}

void KLINKSerialLink::Reset(const KLINKCancel& cancel) {
    if (!Request(Opcode::kReset, {}, cancel).empty()) {
        throw ReadError("Invalid KLINK reset completion.");
    }
    startup_.FinishTransfer();
    receive_.FinishTransfer();
}

void KLINKSerialLink::BeginStartup() noexcept { startup_.BeginTransfer(); }

void KLINKSerialLink::SynchronizeStartup(const KLINKCancel& cancel) {
    if (!Request(Opcode::kPing, {}, cancel).empty()) {
        throw ReadError("Invalid startup PING response.");
    }
    startup_.FenceCompleted();
    startup_.FinishTransfer();
}

void KLINKSerialLink::CheckCapabilities(bool useYm, bool useAudio, const KLINKCancel& cancel) {
    capabilities_.Clear();
    while (!capabilities_.Complete()) {
        const uint16_t offset = capabilities_.NextOffset();
        const std::array<uint8_t, 2> payload = LE16Bytes(offset);
        const std::vector<uint8_t> page = Request(Opcode::kCapabilities, payload, cancel);
        capabilities_.AddPage(offset, page);
    }
    if (capabilities_.MaxPayload() < kMaxPayload) {
        throw ReadError("This playback profile requires 256-byte KLINK payloads.");
    }
    if (useYm && !capabilities_.Supports(kWriteYM2151, 0, 0, kFeatureBurst)) {
        throw ReadError("YM2151 instance 0/page 0 BURST is required.");
    }
    if (useAudio) {
        if (!capabilities_.Supports(kWriteOKIM6258, 0, 0, kFeatureADPCMStream) ||
            (useYm && !capabilities_.Supports(kWriteYM2151, 0, 0, kFeatureStreamEvents))) {
            throw ReadError("Required ADPCM stream/register events are unavailable.");
        }
        if (capabilities_.DataCapacity() < 875 || capabilities_.EventCapacity() < 1) {
            throw ReadError("Insufficient KLINK stream capacity for 80ms lead.");
        }
    }
}

void KLINKSerialLink::SetOutputVolume(uint8_t attenuation, const KLINKCancel& cancel, bool waitForReply) {
    if (attenuation > kMaxAttenuation || (capabilities_.ControlFeatures() & kControlAttenuation) == 0) {
        throw WriteError("KLINK output attenuation is unavailable or invalid.");
    }
    CheckCancel(cancel);
    const std::array<uint8_t, 1> payload = {attenuation};
    if (waitForReply) {
        if (!Request(Opcode::kSetOutputVolume, payload, cancel).empty()) {
            throw ReadError("Invalid output volume completion.");
        }
        return;
    }
    const std::vector<uint8_t> frame =
        EncodeFrame(MessageType::kPacket, Opcode::kSetOutputVolume, NextRequestID(), payload);
    if (!TrySubmitFrame(frame, cancel, true)) {
        throw WriteError("KLINK output-volume receive reserve exceeded.");
    }
}

void KLINKSerialLink::SetChipClock(uint8_t writeId, uint8_t instance, uint32_t hertz,
                                   const KLINKCancel& cancel) {
    const std::optional<KLINKCapability> entry =
        hertz == 0 ? std::nullopt : capabilities_.Find(writeId, instance, 0);
    if (!entry) {
        throw WriteError("Unsupported logical chip clock.");
    }
    if (entry->clockMode == ClockMode::kFixed) {
        if (ClocksMatch(writeId, entry->fixedClockHz, hertz)) {
            return;
        }
        throw WriteError(fmt::format("Chip ${:02X} has a fixed {} Hz clock; VGM requests {} Hz.", writeId,
                                     entry->fixedClockHz, hertz));
    }
    if (!capabilities_.Supports(writeId, instance, 0, kFeatureSetClock)) {
        throw WriteError("Unsupported logical chip clock.");
    }
    std::array<uint8_t, 6> payload = {writeId, instance};
    StoreLE32(payload, 2, hertz);
    try {
        if (!Request(Opcode::kSetChipClock, payload, cancel).empty()) {
            throw ReadError("Invalid chip clock completion.");
        }
    } catch (const ReadError& e) {
        throw ReadError(fmt::format("SET_CHIP_CLOCK ${:02X} / instance={} / requested={} Hz: {}", writeId,
                                    instance, hertz, e.what()));
    }
}

bool KLINKSerialLink::TryWriteRegisters(uint8_t writeId, uint8_t instance, uint8_t page,
                                        std::span<const uint8_t> data, const KLINKCancel& cancel) {
    if (!capabilities_.Supports(writeId, instance, page, kFeatureBurst)) {
        throw WriteError(fmt::format("Unavailable register target ${:02X}/{}/{}.", writeId, instance, page));
    }
    CheckCancel(cancel);
    std::vector<uint8_t> payload;
    if (UsesByteBatch(writeId)) {
        payload = EncodeByteBatch(instance, page, data);
    } else {
        payload = EncodeRegisterBatch(instance, page, data);
        const uint8_t limit = RegisterAddressLimit(writeId);
        for (size_t i = 2; i < payload.size(); i += 2) {
            if (payload[i] > limit) {
                throw WriteError("Invalid chip register address.");
            }
        }
    }
    const std::vector<uint8_t> frame =
        EncodeFrame(MessageType::kPacket, WriteOpcode(writeId), NextRequestID(), payload);
    return TrySubmitFrame(frame, cancel, false);
}

void KLINKSerialLink::WriteRegisters(uint8_t writeId, uint8_t instance, uint8_t page,
                                     std::span<const uint8_t> data, const KLINKCancel& cancel) {
    if (!TryWriteRegisters(writeId, instance, page, data, cancel)) {
        throw WriteError(kWindowFull);
    }
}

void KLINKSerialLink::WriteYM2151(std::span<const uint8_t> data, const KLINKCancel& cancel) {
    WriteRegisters(kWriteYM2151, 0, 0, data, cancel);
}

void KLINKSerialLink::AudioPacket(Opcode opcode, std::span<const uint8_t> payload,
                                  const KLINKCancel& cancel) {
    if (opcode != Opcode::kStreamData && opcode != Opcode::kStreamEvents && opcode != Opcode::kStreamStart) {
        throw WriteError("Invalid audio opcode.");
    }
    CheckCancel(cancel);
    const std::vector<uint8_t> frame = EncodeFrame(MessageType::kPacket, opcode, NextRequestID(), payload);
    SubmitFrame(frame, cancel);
}

AudioStatusReport KLINKSerialLink::AudioStatus(const KLINKCancel& cancel) {
    const std::vector<uint8_t> data = Request(Opcode::kAudioStatus, kAudioStatusPayload, cancel);
    return DescribeAudioStatus(data);
}

void KLINKSerialLink::BeginAudioStatus() {
    if (statusPending_) {
        return;
    }
    BeginRequest(Opcode::kAudioStatus, kAudioStatusPayload);
    statusStarted_ = clock_.nowMs();
    statusPending_ = true;
}

std::optional<AudioStatusReport> KLINKSerialLink::PollAudioStatus() {
    if (!statusPending_) {
        return std::nullopt;
    }
    PumpInput();
    if (hasReply_) {
        statusPending_ = false;
        hasReply_ = false;
        return DescribeAudioStatus(TakeReply());
    }
    if (clock_.nowMs() - statusStarted_ >= kAudioStatusTimeoutMs) {
        statusPending_ = false;
        throw ReadError(kAudioStatusTimeout);
    }
    return std::nullopt;
}

AudioStatusReport KLINKSerialLink::DescribeAudioStatus(std::span<const uint8_t> data) {
    if (data.size() != kAudioDiagnosticsBytes) {
        throw ReadError("Unsupported KLINK ADPCM diagnostics.");
    }
    std::array<uint32_t, 10> v{};
    for (size_t i = 0; i < v.size(); ++i) {
        v[i] = LoadLE32(data, i * 4);
    }
    const uint32_t accepted = v[0];
    const uint32_t played = v[1];
    const uint32_t pending = v[2];
    const uint32_t flags = v[7];
    audioAccepted_ = accepted;
    audioPlayed_ = played;
    audioPending_ = pending;
    audioFlags_ = flags;
    if (played > accepted || pending != accepted - played) {
        throw ReadError("Invalid KLINK stream positions.");
    }
    AudioStatusReport report;
    report.finished = (flags & kAudioFinished) != 0;
    report.failed = (flags & kAudioFailed) != 0;
    report.underflows = v[3];
    report.lateEvents = v[8];
    std::string& text = report.text;
    text = fmt::format(
        "ADPCM: accepted={}, played={}, pending={}, underflows={}, overflows={}, rejected={}, max pending={} "
        "bytes, "
        "flags={}, late events={}, max event lag={} bytes",
        v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]);
    static constexpr std::pair<uint32_t, const char*> kReasons[] = {
        {0x08, "usb-reset,"},        {0x10, "rx-overflow,"},  {0x20, "rx-discard,"},
        {0x40, "pcm-underflow,"},    {0x80, "pcm-overflow,"}, {0x100, "event-overflow,"},
        {0x200, "invalid-command,"},
    };
    std::string reasons;
    for (const auto& [bit, reason] : kReasons) {
        if ((flags & bit) != 0) {
            reasons += reason;
        }
    }
    if (!reasons.empty()) {
        reasons.pop_back();
        text += "; reason=" + reasons;
    } else if (report.failed) {
        text += "; reason=unknown (older firmware)";
    }
    return report;
}

}  // namespace klink
