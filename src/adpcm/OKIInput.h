#pragma once
// The OKIM6258 as a VGM file drives it: switched on and off, fed nibbles
// through its data register or by one DAC stream from the file's OKIM6258 data
// blocks, and decoded to 12-bit samples. Part of the ADPCM event source, which
// parses the commands and calls in here; single-threaded.

#include <cstdint>
#include <span>
#include <vector>

#include "adpcm/OKICodec.h"

namespace klink {

class OKIInput {
public:
    [[nodiscard]] bool Playing() const noexcept { return playing_; }
    [[nodiscard]] bool StreamActive() const noexcept { return streamActive_; }
    // Bytes of all data blocks taken so far, and how many blocks (block IDs).
    [[nodiscard]] size_t BankSize() const noexcept { return bank_.size(); }
    [[nodiscard]] size_t BlockCount() const noexcept { return blockStarts_.size(); }

    // Switches the chip on; one that was off starts with a reset decoder and an
    // empty data queue.
    void Start();
    // Switches it off: any stream ends, the decoder resets, queued data is dropped.
    void Stop();
    // A data register write: queued while the chip plays and no stream feeds it.
    void WriteData(uint8_t value);

    // An OKIM6258 data block found at `filePosition`. A block is taken once per
    // file position, however often a loop passes it. Throws ReadError when the
    // bank would exceed 0x7FFFFFFF bytes.
    void AddBlock(uint32_t filePosition, std::span<const uint8_t> payload);

    // The DAC stream commands 0x90-0x95 with their operands. `clock` and
    // `divider` are the chip's current ones (the stream must run at its byte
    // rate). Commands for other stream IDs are ignored. Throw ReadError.
    void SetupStream(uint8_t id, uint8_t chipType, uint8_t port, uint8_t reg);
    void SetStreamData(uint8_t id, uint8_t bankType, uint8_t stepSize, uint8_t stepBase);
    void SetStreamFrequency(uint8_t id, uint32_t frequency);
    void StartStream(uint8_t id, uint32_t start, uint8_t mode, uint32_t length, uint32_t clock,
                     uint16_t divider);
    void StopStream(uint8_t id);
    void StartBlock(uint8_t id, uint16_t blockId, uint8_t flags, uint32_t clock, uint16_t divider);

    // The two samples of the next byte: decoded from the stream or the data
    // queue; the last sample held while the chip plays without input; 0 while
    // it is off.
    void NextSamples(int32_t& first, int32_t& second);

private:
    [[nodiscard]] bool AcceptedStream(uint8_t id) const noexcept { return streamId_ >= 0 && id == streamId_; }
    void Play(uint32_t start, uint32_t count, bool loop, bool reverse, uint32_t clock, uint16_t divider);
    [[nodiscard]] bool NextInputByte(uint8_t& value);

    std::vector<uint8_t> bank_;             // payloads of the OKIM6258 data blocks, file order
    std::vector<uint32_t> blockPositions_;  // file offsets of the blocks taken, sorted
    std::vector<uint32_t> blockStarts_;     // per block ID: start in bank_
    std::vector<uint32_t> blockSizes_;      // per block ID: size
    std::vector<uint8_t> raw_;              // data register bytes; rawHead_ is the oldest unread
    size_t rawHead_ = 0;
    OKICodec decoder_;
    bool playing_ = false;

    int32_t streamId_ = -1;  // the one accepted stream ID, -1 while none
    uint8_t streamBank_ = 0;
    uint8_t stepSize_ = 1;
    uint8_t stepBase_ = 0;
    uint32_t streamFrequency_ = 0;  // bytes per second
    bool streamActive_ = false;
    bool streamLoop_ = false;
    bool streamReverse_ = false;
    uint32_t streamStart_ = 0;
    uint32_t streamCount_ = 0;
    uint32_t streamIndex_ = 0;  // bytes of the running stream consumed
};

}  // namespace klink
