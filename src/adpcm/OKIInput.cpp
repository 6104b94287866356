#include "adpcm/OKIInput.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "common/Errors.h"

namespace klink {

namespace {

constexpr uint8_t kOKIM6258ChipType = 0x17;
constexpr uint64_t kMaxBankSize = 0x7FFFFFFF;

}  // namespace

void OKIInput::Start() {
    if (!playing_) {
        decoder_.Reset();
        raw_.clear();
        rawHead_ = 0;
    }
    playing_ = true;
}

void OKIInput::Stop() {
    playing_ = false;
    streamActive_ = false;
    decoder_.Reset();
    raw_.clear();
    rawHead_ = 0;
}

void OKIInput::WriteData(uint8_t value) {
    if (playing_ && !streamActive_) {
        raw_.push_back(value);
    }
}

void OKIInput::AddBlock(uint32_t filePosition, std::span<const uint8_t> payload) {
    const auto at = std::lower_bound(blockPositions_.begin(), blockPositions_.end(), filePosition);
    if (at != blockPositions_.end() && *at == filePosition) {
        return;
    }
    if (uint64_t{bank_.size()} + payload.size() > kMaxBankSize) {
        throw ReadError("OKI bank too large.");
    }
    blockPositions_.insert(at, filePosition);
    blockStarts_.push_back(static_cast<uint32_t>(bank_.size()));
    blockSizes_.push_back(static_cast<uint32_t>(payload.size()));
    bank_.insert(bank_.end(), payload.begin(), payload.end());
}

void OKIInput::SetupStream(uint8_t id, uint8_t chipType, uint8_t port, uint8_t reg) {
    if ((chipType & 0x7F) != kOKIM6258ChipType) {
        return;  // a stream for another chip
    }
    // Only the first chip's data register (1), and one stream ID for the whole file.
    if (chipType != kOKIM6258ChipType || port != 0 || reg != 1 || (streamId_ >= 0 && streamId_ != id)) {
        throw ReadError("Only one OKI data stream is supported.");
    }
    streamId_ = id;
}

void OKIInput::SetStreamData(uint8_t id, uint8_t bankType, uint8_t stepSize, uint8_t stepBase) {
    if (!AcceptedStream(id)) return;
    streamBank_ = bankType;
    stepSize_ = stepSize;
    stepBase_ = stepBase;
}

void OKIInput::SetStreamFrequency(uint8_t id, uint32_t frequency) {
    if (!AcceptedStream(id)) return;
    streamFrequency_ = frequency;
}

void OKIInput::StartStream(uint8_t id, uint32_t start, uint8_t mode, uint32_t length, uint32_t clock,
                           uint16_t divider) {
    if (!AcceptedStream(id)) return;
    if (start == 0xFFFFFFFF) {
        start = streamStart_;  // continue from the previous start
    }
    uint32_t count = 0;
    switch (mode & 0x0F) {
        case 1:  // length in data register writes, one byte each
            count = length;
            break;
        case 2: {  // length in ms at the stream frequency
            const uint64_t bytes = uint64_t{length} * streamFrequency_ / 1000;
            if (bytes > 0xFFFFFFFF) throw ReadError("OKI stream length overflow.");
            count = static_cast<uint32_t>(bytes);
            break;
        }
        case 3:  // to the end of the bank
            if (start > bank_.size()) throw ReadError("Invalid stream offset.");
            count = static_cast<uint32_t>(bank_.size() - start);
            break;
        default:
            throw ReadError("Unsupported OKI stream length mode.");
    }
    Play(start, count, (mode & 0x80) != 0, (mode & 0x10) != 0, clock, divider);
}

void OKIInput::StopStream(uint8_t id) {
    if (id == 0xFF || AcceptedStream(id)) {
        Stop();
    }
}

void OKIInput::StartBlock(uint8_t id, uint16_t blockId, uint8_t flags, uint32_t clock, uint16_t divider) {
    if (!AcceptedStream(id)) return;
    if (blockId >= blockStarts_.size()) throw ReadError("Invalid OKI block ID.");
    if ((flags & 0xEE) != 0) throw ReadError("Invalid OKI stream flags.");
    Play(blockStarts_[blockId], blockSizes_[blockId], (flags & 0x01) != 0, (flags & 0x10) != 0, clock,
         divider);
}

void OKIInput::Play(uint32_t start, uint32_t count, bool loop, bool reverse, uint32_t clock,
                    uint16_t divider) {
    if (streamBank_ != 4 || stepSize_ != 1 || stepBase_ != 0) {
        throw ReadError("This prototype requires OKI bank 4, step 1, base 0.");
    }
    if (count == 0 || uint64_t{start} + count > bank_.size()) {
        throw ReadError("OKI stream is outside bank 4.");
    }
    // The stream must feed the chip at its own byte rate (two samples a byte).
    const double byteRate = static_cast<double>(clock) / divider / 2.0;
    if (streamFrequency_ == 0 || std::fabs(static_cast<double>(streamFrequency_) - byteRate) > 1.0) {
        throw ReadError("OKI stream rate does not match the physical clock/divider.");
    }
    Start();
    streamStart_ = start;
    streamCount_ = count;
    streamIndex_ = 0;
    streamLoop_ = loop;
    streamReverse_ = reverse;
    streamActive_ = true;
    raw_.clear();
    rawHead_ = 0;
}

bool OKIInput::NextInputByte(uint8_t& value) {
    if (!playing_) return false;
    if (streamActive_) {
        if (streamIndex_ == streamCount_) {
            if (streamLoop_) {
                streamIndex_ = 0;
            } else {
                streamActive_ = false;
            }
        }
        if (streamActive_) {
            const uint32_t i = streamReverse_ ? streamCount_ - 1 - streamIndex_ : streamIndex_;
            value = bank_[size_t{streamStart_} + i];
            ++streamIndex_;
            return true;
        }
    }
    if (rawHead_ < raw_.size()) {
        value = raw_[rawHead_++];
        if (rawHead_ == raw_.size()) {
            raw_.clear();  // keeps the capacity
            rawHead_ = 0;
        } else if (rawHead_ >= 4096 && rawHead_ * 2 >= raw_.size()) {
            // A file that writes faster than the chip plays: drop what was read.
            raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(rawHead_));
            rawHead_ = 0;
        }
        return true;
    }
    return false;
}

void OKIInput::NextSamples(int32_t& first, int32_t& second) {
    uint8_t value = 0;
    if (NextInputByte(value)) {
        first = decoder_.Decode(static_cast<uint8_t>(value & 0x0F));  // low nibble plays first
        second = decoder_.Decode(static_cast<uint8_t>(value >> 4));
    } else if (playing_) {
        first = second = decoder_.signal;
    } else {
        first = second = 0;
    }
}

}  // namespace klink
