#include "kl2/KL2DACVGM.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/Bytes.h"
#include "common/Errors.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMChips.h"
#include "vgm/VGMCommand.h"

namespace klink {

namespace {

// Commands one event may cost before the data counts as stuck.
constexpr uint32_t kMaxCommandsPerEvent = 1'000'000;
constexpr uint64_t kBankLimit = 0x7FFFFFFF;
constexpr uint8_t kYM2612StreamChip = 0x02;

[[noreturn]] void ThrowTruncated(uint64_t firstMissing) {
    throw ReadError(fmt::format("Truncated KL2 VGM command at ${:08X}.", firstMissing));
}

bool IsFirstYM2612(const KLINKVGMTarget& target) noexcept {
    return target.writeId == kWriteYM2612 && target.instance == 0;
}

}  // namespace

KL2DACVGM::KL2DACVGM(std::span<const uint8_t> data, uint32_t dataOffset, uint32_t loopOffset,
                     int32_t repeatCount, int32_t fadeSeconds)
    // Command positions are 32-bit: nothing past 4 GiB - 1 is reachable.
    : data_(data.first(std::min<size_t>(data.size(), 0xFFFFFFFFu))),
      pointer_(dataOffset),
      loopOffset_(loopOffset),
      repeatCount_(repeatCount),
      fadeSeconds_(fadeSeconds) {
    CollectPCMBlocks(dataOffset);
    BuildStartup();
}

void KL2DACVGM::Need(uint64_t at, uint64_t count) const {
    const uint64_t size = data_.size();
    if (at + count > size) ThrowTruncated(std::max(at, size));
}

// ------------------------------------------------------------------ set-up

void KL2DACVGM::CollectPCMBlocks(uint32_t dataOffset) {
    uint32_t position = dataOffset;
    uint8_t reg = 0;
    uint8_t value = 0;
    uint32_t wait = 0;
    while (position < data_.size()) {
        if (data_[position] != 0x67) {
            if (NextVGMCommand(data_, position, reg, value, wait) == VGMCommandKind::kEnd) break;
            continue;
        }
        // 0x67 0x66 type size(32) data
        Need(position, 2);
        if (data_[position + 1] != 0x66) throw ReadError("Invalid VGM data block marker.");
        Need(position, 7);
        const uint8_t type = data_[position + 2];
        const uint32_t size = LoadLE32(data_, uint64_t{position} + 3);
        if ((size & 0x80000000u) != 0) throw ReadError("Second-chip PCM bank is unsupported on KL2.");
        const uint64_t begin = uint64_t{position} + 7;
        Need(begin, size);
        if (type == 0x40) throw ReadError("Compressed YM2612 PCM banks are not supported.");
        if (type == 0x00) {
            if (bank_.size() + uint64_t{size} > kBankLimit) throw ReadError("PCM bank is too large.");
            blockStarts_.push_back(static_cast<uint32_t>(bank_.size()));
            blockSizes_.push_back(size);
            const auto from = data_.begin() + static_cast<std::ptrdiff_t>(begin);
            bank_.insert(bank_.end(), from, from + size);
        }
        position = static_cast<uint32_t>(begin + size);
    }
}

void KL2DACVGM::BuildStartup() {
    startup_ = {};
    Event event;
    while (ReadEvent(event, true)) {
        if (event.kind == EventKind::kDACSample) {
            startup_.DACWrite(event.value);
            continue;
        }
        if (event.kind == EventKind::kRegisterWrite) {
            if (IsFirstYM2612(event.target) && event.address == 0x28) {
                startup_.KeyWrite(event.value);
                continue;
            }
            event.initial = true;
        }
        startupEvents_.push_back(event);
    }
    // Only a file that goes on past time zero gets the collapsed state; one
    // that ends there has nothing left to hear.
    if (commandTick_ != 0) {
        for (uint8_t key : startup_.FinalKeys()) {
            startupEvents_.push_back({0, false, EventKind::kRegisterWrite, key, 0x28, {kWriteYM2612, 0, 0}});
        }
        if (startup_.HasDACWrite()) {
            startupEvents_.push_back({0, false, EventKind::kDACSample, startup_.dacValue, 0, {}});
        }
    }
}

// ------------------------------------------------------------------ events

bool KL2DACVGM::NextEvent(Event& event) {
    if (carryIndex_ < carry_.size()) {
        event = carry_[carryIndex_++];
        if (carryIndex_ == carry_.size()) {
            carry_.clear();
            carryIndex_ = 0;
        }
        return true;
    }
    if (startupIndex_ < startupEvents_.size()) {
        event = startupEvents_[startupIndex_++];
        return true;
    }
    return ReadEvent(event, false);
}

bool KL2DACVGM::ReadEvent(Event& event, bool startupOnly) {
    uint32_t commands = 0;
    for (;;) {
        if (startupOnly && commandTick_ != 0) return false;
        if (haveExtra_) {
            haveExtra_ = false;
            event = extra_;
            return true;
        }
        if (ended_) return false;

        // The active stream that plays first (lowest ID on a tie).
        KL2DACStream* first = nullptr;
        uint8_t firstId = 0;
        for (uint32_t i = 0; i < activeCount_; ++i) {
            KL2DACStream& s = streams_[activeIds_[i]];
            if (first == nullptr || s.nextTick < first->nextTick) {
                first = &s;
                firstId = activeIds_[i];
            }
        }
        if (fadeStarted_ && fadeEndTick_ <= commandTick_ &&
            (first == nullptr || first->nextTick >= fadeEndTick_)) {
            ended_ = true;
            endTick_ = fadeEndTick_;
            continue;
        }
        if (first != nullptr && first->nextTick < commandTick_) {
            KL2DACStream& s = *first;
            const uint64_t step = s.reverse ? uint64_t{s.stepCount} - s.stepIndex - 1 : s.stepIndex;
            const uint64_t position = s.startPosition + step * s.stepSize;
            // 0x91 may change the step size of a playing stream: check every step.
            if (position >= bank_.size()) throw ReadError("YM2612 stream exceeds its PCM bank.");
            event = {s.nextTick, false, EventKind::kDACSample, bank_[position], 0, {}};
            ++s.stepIndex;
            ++s.emitted;
            if (s.stepIndex >= s.stepCount) {
                if (s.loop) {
                    s.stepIndex = 0;
                } else {
                    StopStream(firstId);
                }
            }
            s.nextTick = s.startTick + (s.emitted / s.frequency) * kKL2TickRate +
                         (s.emitted % s.frequency) * kKL2TickRate / s.frequency;
            musicStarted_ = true;
            return true;
        }

        if (++commands > kMaxCommandsPerEvent) throw ReadError("VGM has no advancing wait.");
        const uint32_t at = pointer_;
        Need(at, 1);
        const uint8_t command = data_[at];
        event = {};
        event.tick = commandTick_;
        if (command >= 0x80 && command <= 0x8F) {
            if (pcmPosition_ >= bank_.size()) throw ReadError("YM2612 PCM read exceeds bank.");
            event.kind = EventKind::kDACSample;
            event.value = bank_[pcmPosition_];
            ++pcmPosition_;
            pointer_ = at + 1;
            commandTick_ += command & 0x0Fu;
            musicStarted_ = true;
            return true;
        }
        switch (command) {
            case 0x67: {
                Need(at, 2);
                if (data_[at + 1] != 0x66) throw ReadError("Invalid VGM data block.");
                Need(at, 7);
                const uint64_t size = LoadLE32(data_, uint64_t{at} + 3) & 0x7FFFFFFFu;
                Need(uint64_t{at} + 7, size);
                pointer_ = static_cast<uint32_t>(uint64_t{at} + 7 + size);
                continue;
            }
            case 0xE0: {
                Need(at, 5);
                const uint32_t seek = LoadLE32(data_, uint64_t{at} + 1);
                pointer_ = at + 5;
                if (seek > bank_.size()) throw ReadError("YM2612 PCM seek exceeds bank.");
                pcmPosition_ = seek;
                continue;
            }
            case 0x90:
            case 0x91:
            case 0x92:
            case 0x93:
            case 0x94:
            case 0x95:
                StreamCommand(command, at);
                continue;
            default:
                break;
        }

        KLINKVGMTarget target{};
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        switch (DecodeRegisterCommand(data_, pointer_, target, reg, value, wait)) {
            case VGMDecodeKind::kRegisterWrite:
                break;
            case VGMDecodeKind::kWait:
                commandTick_ += wait;
                continue;
            case VGMDecodeKind::kEnd:
                EndCommand();
                continue;
            default:
                continue;
        }
        if (IsFirstYM2612(target) && reg == 0x2A) {
            event.kind = EventKind::kDACSample;
            event.value = value;
            musicStarted_ = true;
            return true;
        }
        if (IsFirstYM2612(target) && reg == 0x2B) {
            event.kind = EventKind::kDACEnable;
            event.value = value & 0x80;
            if (event.value == 0x80) musicStarted_ = true;
            return true;
        }
        event.kind = EventKind::kRegisterWrite;
        event.target = target;
        event.address = reg;
        event.value = value;
        event.initial = !musicStarted_;
        TransformEvent(event);
        if (StartsSound(event.target, event.address, event.value)) {
            musicStarted_ = true;
            event.initial = false;
        }
        return true;
    }
}

void KL2DACVGM::TransformEvent(Event& event) {
    uint8_t prefix = 0;
    if (registerState_.Transform(event.target, event.address, event.value, prefix)) {
        // The latch goes first, the data byte right after it at the same tick.
        extra_ = event;
        haveExtra_ = true;
        event.value = prefix;
    }
}

void KL2DACVGM::EndCommand() {
    bool looping = loopOffset_ != 0;
    if (looping && !fadeStarted_ && !CountLoop(completedLoops_, repeatCount_)) {
        looping = fadeSeconds_ > 0;
        if (looping) {
            // The music loops on through the fade and ends with it.
            fadeStarted_ = true;
            fadeStartTick_ = commandTick_;
            fadeEndTick_ = commandTick_ + static_cast<uint64_t>(fadeSeconds_) * kKL2TickRate;
        }
    }
    if (!looping) {
        ended_ = true;
        endTick_ = commandTick_;
        return;
    }
    if (looped_ && commandTick_ <= lastLoopTick_) throw ReadError("Zero-duration VGM loop.");
    looped_ = true;
    lastLoopTick_ = commandTick_;
    const uint64_t target = uint64_t{loopOffset_} + 0x1C;
    if (target >= data_.size()) ThrowTruncated(target);
    pointer_ = static_cast<uint32_t>(target);
}

// ------------------------------------------------------------------ streams

void KL2DACVGM::StreamCommand(uint8_t command, uint32_t at) {
    // Operand bytes after the command byte.
    static constexpr uint32_t kOperands[6] = {4, 4, 5, 10, 1, 4};
    const uint32_t operands = kOperands[command - 0x90];
    Need(at, 1 + uint64_t{operands});
    pointer_ = at + 1 + operands;
    const uint64_t p = at;
    const uint8_t id = data_[p + 1];
    KL2DACStream& s = streams_[id];
    switch (command) {
        case 0x90: {  // set-up: chip type, port, command
            StopStream(id);
            const uint8_t chip = data_[p + 2];
            s.enabled = chip == kYM2612StreamChip && data_[p + 3] == 0x00 && data_[p + 4] == 0x2A;
            if ((chip & 0x7F) == kYM2612StreamChip && !s.enabled) {
                throw ReadError("Only YM2612 #0 port 0 DAC streams are supported.");
            }
            return;
        }
        case 0x91: {  // data: bank type, step size, step base
            if (!s.enabled) return;
            if (data_[p + 2] != 0 || data_[p + 3] == 0) {
                throw ReadError("YM2612 stream requires PCM bank 0 and a nonzero step.");
            }
            s.stepSize = data_[p + 3];
            s.stepBase = data_[p + 4];
            return;
        }
        case 0x92: {  // frequency
            if (!s.enabled) return;
            s.frequency = LoadLE32(data_, p + 2);
            if (s.frequency == 0) {
                StopStream(id);
            } else if (s.active) {
                if (s.frequency > kKL2MaxStreamFrequency) {
                    throw ReadError("Invalid YM2612 stream frequency/step/length.");
                }
                // The new rate counts from now; the position in the data stays.
                s.startTick = commandTick_;
                s.nextTick = commandTick_;
                s.emitted = 0;
            }
            return;
        }
        case 0x93: {  // start: offset, length mode, length
            if (!s.enabled) return;
            const uint32_t start = LoadLE32(data_, p + 2);
            const uint8_t mode = data_[p + 6];
            const uint32_t length = LoadLE32(data_, p + 7);
            // 0xFFFFFFFF: from where the stream last started.
            const uint64_t offset =
                start == 0xFFFFFFFFu ? static_cast<uint32_t>(s.startPosition - s.stepBase) : start;
            uint64_t steps = 0;
            switch (mode & 0x0F) {
                case 0:
                    steps = s.stepCount;
                    break;
                case 1:
                    steps = length;
                    break;
                case 2:  // milliseconds
                    steps = uint64_t{length} * s.frequency / 1000;
                    if (steps > 0xFFFFFFFFu) throw ReadError("YM2612 stream duration overflow.");
                    break;
                case 3:  // to the end of the bank
                    if (offset + s.stepBase >= bank_.size())
                        throw ReadError("YM2612 stream start exceeds bank.");
                    steps = (bank_.size() - offset - s.stepBase + s.stepSize - 1) / s.stepSize;
                    break;
                default:
                    throw ReadError("Unsupported YM2612 stream length mode.");
            }
            StartDACStream(id, offset, steps, (mode & 0x80) != 0, (mode & 0x10) != 0);
            return;
        }
        case 0x94:  // stop; 0xFF stops all
            if (id == 0xFF) {
                while (activeCount_ > 0) StopStream(activeIds_[activeCount_ - 1]);
            } else {
                StopStream(id);
            }
            return;
        case 0x95: {  // start a data block: block number, flags
            if (!s.enabled) return;
            const uint16_t block = LoadLE16(data_, p + 2);
            const uint8_t flags = data_[p + 4];
            if (block >= blockStarts_.size() || (flags & 0xEE) != 0) {
                throw ReadError("Invalid YM2612 PCM block/flags.");
            }
            const uint64_t size = blockSizes_[block];
            if (size <= s.stepBase) throw ReadError("Empty YM2612 PCM block.");
            StartDACStream(id, blockStarts_[block], (size - s.stepBase + s.stepSize - 1) / s.stepSize,
                           (flags & 0x01) != 0, (flags & 0x10) != 0);
            return;
        }
        default:
            return;
    }
}

void KL2DACVGM::StartDACStream(uint8_t id, uint64_t offset, uint64_t steps, bool loop, bool reverse) {
    KL2DACStream& s = streams_[id];
    if (!s.enabled) return;
    if (s.frequency == 0 || s.frequency > kKL2MaxStreamFrequency || s.stepSize == 0 || steps == 0) {
        throw ReadError("Invalid YM2612 stream frequency/step/length.");
    }
    if (offset + s.stepBase + (steps - 1) * s.stepSize >= bank_.size()) {
        throw ReadError("YM2612 stream exceeds its PCM bank.");
    }
    if (!s.active) {
        // Keep the active IDs in ascending order.
        uint32_t i = activeCount_;
        while (i > 0 && activeIds_[i - 1] > id) {
            activeIds_[i] = activeIds_[i - 1];
            --i;
        }
        activeIds_[i] = id;
        ++activeCount_;
    }
    s.active = true;
    s.loop = loop;
    s.reverse = reverse;
    s.startPosition = static_cast<uint32_t>(offset + s.stepBase);
    s.stepCount = static_cast<uint32_t>(steps);
    s.stepIndex = 0;
    s.startTick = commandTick_;
    s.nextTick = commandTick_;
    s.emitted = 0;
}

void KL2DACVGM::StopStream(uint8_t id) noexcept {
    KL2DACStream& s = streams_[id];
    if (!s.active) return;
    s.active = false;
    uint32_t i = 0;
    while (activeIds_[i] != id) ++i;
    for (; i + 1 < activeCount_; ++i) activeIds_[i] = activeIds_[i + 1];
    --activeCount_;
}

// ------------------------------------------------------------------ chunks

bool KL2DACVGM::Next(KL2DACChunk& chunk, int32_t maxRecords) {
    chunk.startTick = outputTick_;
    chunk.endTick = outputTick_;
    chunk.records.clear();
    chunk.events.clear();
    if (finished_) return false;
    if (maxRecords < 1 || maxRecords > kKL2MaxRecordsPerPacket)
        throw ArgumentOutOfRange("Invalid DAC chunk size.");
    const auto recordLimit = static_cast<size_t>(maxRecords);
    const uint64_t limit = outputTick_ + kKL2ChunkTicks;
    for (;;) {
        if (!haveNext_) haveNext_ = NextEvent(next_);
        const uint64_t stop = std::min(haveNext_ ? next_.tick : endTick_, limit);
        if (outputTick_ < stop) {
            const uint64_t gap = stop - outputTick_;
            if (!chunk.records.empty() && chunk.records.back().wait + gap <= 0xFFFF) {
                chunk.records.back().wait = static_cast<uint16_t>(chunk.records.back().wait + gap);
            } else if (chunk.records.size() >= recordLimit) {
                CarryBack(chunk);
                break;
            } else {
                chunk.records.push_back({KL2RecordKind::kDelay, 0, static_cast<uint16_t>(gap)});
            }
            outputTick_ = stop;
        }
        if (!haveNext_) {
            finished_ = outputTick_ >= endTick_;
            break;
        }
        if (next_.tick > outputTick_ || outputTick_ >= limit) break;
        if (next_.kind == EventKind::kRegisterWrite) {
            if (chunk.events.size() >= kKL2MaxChunkEvents) {
                throw ReadError("Too many register events without a DAC time interval.");
            }
            chunk.events.push_back({next_.tick, next_.initial, next_.target, next_.address, next_.value});
        } else {
            if (chunk.records.size() >= recordLimit) {
                CarryBack(chunk);
                break;
            }
            chunk.records.push_back({static_cast<KL2RecordKind>(next_.kind), next_.value, 0});
        }
        haveNext_ = false;
    }
    // Events at the very end of the music: one more tick, so that they lie
    // inside the chunk and the board still reaches them. (Elsewhere a chunk
    // never ends at the tick of one of its events: see CarryBack.)
    if (finished_ && !chunk.events.empty() && chunk.events.back().tick >= outputTick_) {
        if (chunk.records.empty()) {
            chunk.records.push_back({KL2RecordKind::kDelay, 0, 1});
        } else {
            chunk.records.back().wait = static_cast<uint16_t>(chunk.records.back().wait + 1);
        }
        outputTick_ += 1;
        endTick_ = outputTick_;
    }
    chunk.endTick = outputTick_;
    return !chunk.records.empty();
}

void KL2DACVGM::CarryBack(KL2DACChunk& chunk) {
    // The chunk ends at outputTick_ while the held event of that tick waits
    // for the next one; events of that tick follow it there, so that every
    // event lies before its chunk's end.
    size_t keep = chunk.events.size();
    while (keep > 0 && chunk.events[keep - 1].tick >= outputTick_) --keep;
    if (keep == chunk.events.size()) return;
    std::vector<Event> unread(carry_.begin() + static_cast<std::ptrdiff_t>(carryIndex_), carry_.end());
    carry_.clear();
    carryIndex_ = 0;
    for (size_t i = keep; i < chunk.events.size(); ++i) {
        const KL2RegisterEvent& e = chunk.events[i];
        carry_.push_back({e.tick, e.initial, EventKind::kRegisterWrite, e.value, e.address, e.target});
    }
    if (haveNext_) carry_.push_back(next_);
    carry_.insert(carry_.end(), unread.begin(), unread.end());
    haveNext_ = false;
    chunk.events.resize(keep);
}

}  // namespace klink
