#include "adpcm/KLINKAudioVGM.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "common/Bytes.h"
#include "common/Errors.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMCommand.h"

namespace klink {

namespace {

constexpr uint64_t kUnitsPerSample = 10'000;  // 441,000,000 units a second / 44,100
constexpr uint64_t kVGMTimeZero = 2'257'920;  // 5120 µs: the stream runs ahead of VGM time 0
constexpr uint64_t kZeroTail = 22'050'000;    // 50 ms of encoded zeros after the music
constexpr uint64_t kUnitsPerSecond = 441'000'000;
constexpr uint32_t kMaxCommandsPerCall = 1'000'000;
constexpr KLINKVGMTarget kYM2151{0x54, 0, 0};

[[nodiscard]] constexpr bool IsOKIClock(uint32_t clock) noexcept {
    return clock == 4'000'000 || clock == 8'000'000;
}

[[nodiscard]] constexpr bool IsOKIDivider(uint16_t divider) noexcept {
    return divider == 512 || divider == 768 || divider == 1024;
}

}  // namespace

KLINKAudioVGM::KLINKAudioVGM(std::span<const uint8_t> data, uint32_t dataOffset, uint32_t loopOffset,
                             uint32_t clock, uint16_t divider, int32_t repeatCount, int32_t fadeSeconds)
    : data_(data),
      pointer_(dataOffset),
      // Past 32 bits the target is outside any file, and reading there fails.
      loopTarget_(static_cast<uint32_t>(std::min<uint64_t>(uint64_t{loopOffset} + 0x1C, 0xFFFFFFFF))),
      loopOffset_(loopOffset),
      repeatCount_(repeatCount),
      fadeSeconds_(fadeSeconds),
      commandTime_(kVGMTimeZero),
      clock_(clock),
      clockShadow_(clock),
      divider_(divider) {
    if (!IsOKIClock(clock) || !IsOKIDivider(divider)) {
        throw ReadError("Unsupported OKI clock/divider.");
    }
    ScanInitialState(dataOffset);
}

void KLINKAudioVGM::ScanInitialState(uint32_t dataOffset) {
    // Walks without executing: YM2151 writes before the first sound are state
    // for the board to hold before the stream starts, not timed events.
    firstSound_ = 0xFFFFFFFF;
    initialYM_.clear();
    const uint64_t size = data_.size();
    uint32_t p = dataOffset;
    while (p < size) {
        const uint8_t c = data_[p];
        if (c == 0x93 || c == 0x95) {  // a DAC stream starts
            firstSound_ = p;
            break;
        }
        if (c == 0xB7 && uint64_t{p} + 2 < size && data_[p + 1] == 0x00 && (data_[p + 2] & 0x02) != 0) {
            firstSound_ = p;  // the OKIM6258 is told to play
            break;
        }
        uint32_t next = p;
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        const VGMCommandKind kind = NextVGMCommand(data_, next, reg, value, wait);
        if (kind == VGMCommandKind::kEnd) break;
        if (kind == VGMCommandKind::kYM2151Write) {
            if (StartsSound(kYM2151, reg, value)) {  // key-on with at least one operator
                firstSound_ = p;
                break;
            }
            initialYM_.push_back(reg);
            initialYM_.push_back(value);
        }
        p = next;
    }
}

bool KLINKAudioVGM::Next(uint32_t& position, std::vector<uint8_t>& pcm, std::vector<AudioEvent>& events) {
    pcm.clear();
    events.clear();
    position = bytePosition_;
    if (finished_) {
        return false;
    }
    const uint64_t chunkEnd = time_ + kChunkUs * kUnitsPerUs;
    while (pcm.size() < kMaxChunkBytes && time_ < chunkEnd && !finished_) {
        ProcessCommands(events);
        int32_t first = 0;
        int32_t second = 0;
        input_.NextSamples(first, second);
        const uint8_t low = output_.Encode(first);
        const uint8_t high = output_.Encode(second);
        pcm.push_back(static_cast<uint8_t>(low | high << 4));
        if (bytePosition_ == 0xFFFFFFFF) {
            throw ReadError("ADPCM position overflow; restart playback.");
        }
        ++bytePosition_;
        time_ += ByteDuration();
        if (ended_ && time_ >= endTime_) {
            finished_ = true;
        }
    }
    return !pcm.empty();
}

uint64_t KLINKAudioVGM::ByteDuration() const noexcept {
    // Whole µs for every allowed clock and divider (128 to 512).
    return uint64_t{divider_} * 2'000'000 / clock_ * kUnitsPerUs;
}

void KLINKAudioVGM::ProcessCommands(std::vector<AudioEvent>& events) {
    if (fadeStarted_ && !ended_ && time_ >= fadeEndTime_) {
        // The fade is over: the music ends at the fade's end, whatever the file does next.
        EndMusic();
        commandTime_ = fadeEndTime_;
    }
    uint32_t count = 0;
    while (!ended_ && commandTime_ <= time_) {
        if (++count > kMaxCommandsPerCall) {
            throw ReadError("VGM has no advancing wait.");
        }
        ExecuteCommand(events);
    }
}

void KLINKAudioVGM::ExecuteCommand(std::vector<AudioEvent>& events) {
    const uint32_t p = pointer_;
    const uint8_t c = ReadByte(p);
    switch (c) {
        case 0x67:
            DataBlock(p);
            return;
        case 0x90: {  // stream setup: id, chip type, port, register
            const uint8_t id = ReadByte(uint64_t{p} + 1);
            const uint8_t chipType = ReadByte(uint64_t{p} + 2);
            const uint8_t port = ReadByte(uint64_t{p} + 3);
            const uint8_t reg = ReadByte(uint64_t{p} + 4);
            pointer_ = p + 5;
            input_.SetupStream(id, chipType, port, reg);
            return;
        }
        case 0x91: {  // stream data: id, bank type, step size, step base
            const uint8_t id = ReadByte(uint64_t{p} + 1);
            const uint8_t bankType = ReadByte(uint64_t{p} + 2);
            const uint8_t stepSize = ReadByte(uint64_t{p} + 3);
            const uint8_t stepBase = ReadByte(uint64_t{p} + 4);
            pointer_ = p + 5;
            input_.SetStreamData(id, bankType, stepSize, stepBase);
            return;
        }
        case 0x92: {  // stream frequency: id, bytes per second
            const uint8_t id = ReadByte(uint64_t{p} + 1);
            const uint32_t frequency = ReadLE32(uint64_t{p} + 2);
            pointer_ = p + 6;
            input_.SetStreamFrequency(id, frequency);
            return;
        }
        case 0x93: {  // stream start: id, start, length mode, length
            const uint8_t id = ReadByte(uint64_t{p} + 1);
            const uint32_t start = ReadLE32(uint64_t{p} + 2);
            const uint8_t mode = ReadByte(uint64_t{p} + 6);
            const uint32_t length = ReadLE32(uint64_t{p} + 7);
            pointer_ = p + 11;
            input_.StartStream(id, start, mode, length, clock_, divider_);
            return;
        }
        case 0x94: {  // stream stop: id (0xFF: all)
            const uint8_t id = ReadByte(uint64_t{p} + 1);
            pointer_ = p + 2;
            input_.StopStream(id);
            return;
        }
        case 0x95: {  // stream start by block: id, block ID, flags
            const uint8_t id = ReadByte(uint64_t{p} + 1);
            const uint16_t blockId = ReadLE16(uint64_t{p} + 2);
            const uint8_t flags = ReadByte(uint64_t{p} + 4);
            pointer_ = p + 5;
            input_.StartBlock(id, blockId, flags, clock_, divider_);
            return;
        }
        case 0xB7: {  // OKIM6258 write: register, value
            const uint8_t reg = ReadByte(uint64_t{p} + 1);
            const uint8_t value = ReadByte(uint64_t{p} + 2);
            pointer_ = p + 3;
            WriteOKI(reg, value, events);
            return;
        }
        default:
            break;
    }
    KLINKVGMTarget target;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    switch (DecodeRegisterCommand(data_, pointer_, target, reg, value, wait)) {
        case VGMDecodeKind::kRegisterWrite:
            if (target == kYM2151) {
                // Writes before the first sound went out with InitialYM, until a loop replays them.
                if (looped_ || p >= firstSound_) {
                    const uint8_t payload[] = {reg, value};
                    AddEvent(events, AudioEventKind::kYM2151Write, payload);
                }
            } else {
                const uint8_t payload[] = {target.writeId, target.instance, target.page, reg, value};
                AddEvent(events, AudioEventKind::kExternalWrite, payload);
            }
            return;
        case VGMDecodeKind::kWait:
        case VGMDecodeKind::kDACEvent:  // 0x80-0x8F: a YM2612 DAC sample, then a wait that counts
            commandTime_ += wait * kUnitsPerSample;
            return;
        case VGMDecodeKind::kEnd:
            EndCommand();
            return;
        case VGMDecodeKind::kNothing:
            return;
    }
}

void KLINKAudioVGM::DataBlock(uint32_t p) {
    // 0x67 0x66 type size(32) payload
    if (ReadByte(uint64_t{p} + 1) != 0x66) {
        throw ReadError("Invalid VGM data block.");
    }
    const uint8_t type = ReadByte(uint64_t{p} + 2);
    const uint32_t size = ReadLE32(uint64_t{p} + 3);
    if ((size & 0x80000000u) != 0) {
        throw ReadError("Second-chip data block is not supported.");
    }
    const uint64_t payloadAt = uint64_t{p} + 7;
    RequireBytes(payloadAt, size);
    if (type == 0x04) {  // OKIM6258 samples
        input_.AddBlock(p, data_.subspan(payloadAt, size));
    } else if (type == 0x44) {
        throw ReadError("Compressed OKI bank is not supported yet.");
    }
    pointer_ = static_cast<uint32_t>(payloadAt + size);
}

void KLINKAudioVGM::WriteOKI(uint8_t reg, uint8_t value, std::vector<AudioEvent>& events) {
    if ((reg & 0x80) != 0) {
        throw ReadError("Dual OKIM6258 is not supported.");
    }
    switch (reg) {
        case 0x00:  // control: stop wins over play
            if ((value & 0x01) != 0) {
                input_.Stop();
            } else if ((value & 0x02) != 0) {
                input_.Start();
            }
            if ((value & 0x04) != 0) {
                throw ReadError("OKI recording is not supported.");
            }
            return;
        case 0x01:  // data
            input_.WriteData(value);
            return;
        case 0x02: {  // pan
            const auto pan = static_cast<uint8_t>(value & 0x03);
            if (pan != pan_) {
                pan_ = pan;
                const uint8_t payload[] = {pan};
                AddEvent(events, AudioEventKind::kPan, payload);
            }
            return;
        }
        case 0x08:
        case 0x09:
        case 0x0A:
        case 0x0B: {  // clock, one byte each, low byte first
            const unsigned shift = 8u * (reg - 0x08u);
            clockShadow_ = (clockShadow_ & ~(0xFFu << shift)) | uint32_t{value} << shift;
            if (reg == 0x0B && !IsOKIClock(clockShadow_)) {
                throw ReadError("Unsupported OKI clock register value.");
            }
            if (IsOKIClock(clockShadow_) && clockShadow_ != clock_) {
                clock_ = clockShadow_;
                AddClockEvent(events);
            }
            return;
        }
        case 0x0C: {  // divider
            const uint8_t select = value & 0x03;
            const uint16_t divider = select == 0 ? 1024 : select == 1 ? 768 : 512;
            if (divider != divider_) {
                divider_ = divider;
                AddClockEvent(events);
            }
            return;
        }
        default:
            return;
    }
}

void KLINKAudioVGM::EndCommand() {
    if (loopOffset_ != 0) {
        bool again = fadeStarted_ || CountLoop(completedLoops_, repeatCount_);
        if (!again && fadeSeconds_ > 0) {
            // The repeats are done: the loop plays on while the fade runs.
            fadeStarted_ = true;
            fadeStartTime_ = commandTime_;
            fadeEndTime_ = commandTime_ + static_cast<uint64_t>(fadeSeconds_) * kUnitsPerSecond;
            again = true;
        }
        if (again) {
            if (looped_ && commandTime_ <= lastLoopTime_) {
                throw ReadError("Zero-duration VGM loop.");
            }
            lastLoopTime_ = commandTime_;
            looped_ = true;
            pointer_ = loopTarget_;
            return;
        }
    }
    EndMusic();
}

void KLINKAudioVGM::EndMusic() {
    ended_ = true;
    input_.Stop();
    endTime_ = time_ + kZeroTail;
}

void KLINKAudioVGM::AddEvent(std::vector<AudioEvent>& events, AudioEventKind kind,
                             std::span<const uint8_t> payload) const {
    AudioEvent& e = events.emplace_back();
    e.position = bytePosition_;
    e.timeUs = commandTime_ / kUnitsPerUs;
    e.kind = kind;
    e.payloadSize = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), e.payload.begin());
}

void KLINKAudioVGM::AddClockEvent(std::vector<AudioEvent>& events) const {
    std::array<uint8_t, 6> payload{};
    StoreLE32(payload, 0, clock_);
    StoreLE16(payload, 4, divider_);
    AddEvent(events, AudioEventKind::kClockDivider, payload);
}

uint8_t KLINKAudioVGM::SilenceByte() const {
    if (!finished_) {
        throw WriteError("ADPCM zero tail is not complete.");
    }
    OKICodec probe = output_;
    const uint8_t low = probe.Encode(0);
    const uint8_t high = probe.Encode(0);
    if (probe.stepIndex != 0 || probe.signal != output_.signal) {
        throw WriteError("ADPCM zero tail did not converge.");
    }
    return static_cast<uint8_t>(low | high << 4);
}

uint64_t KLINKAudioVGM::PositionSamples() const noexcept {
    // After the end the command clock stops where the music stopped.
    const uint64_t t = ended_ ? std::min(time_, commandTime_) : time_;
    return t <= kVGMTimeZero ? 0 : (t - kVGMTimeZero) / kUnitsPerSample;
}

void KLINKAudioVGM::RequireBytes(uint64_t at, uint64_t count) const {
    if (at + count > data_.size()) {
        // The first byte that is not there.
        const uint64_t missing = std::max<uint64_t>(at, data_.size());
        throw ReadError(fmt::format("Truncated ADPCM VGM command at ${:08X}.", missing));
    }
}

uint8_t KLINKAudioVGM::ReadByte(uint64_t at) const {
    RequireBytes(at, 1);
    return data_[at];
}

uint16_t KLINKAudioVGM::ReadLE16(uint64_t at) const {
    RequireBytes(at, 2);
    return LoadLE16(data_, at);
}

uint32_t KLINKAudioVGM::ReadLE32(uint64_t at) const {
    RequireBytes(at, 4);
    return LoadLE32(data_, at);
}

}  // namespace klink
