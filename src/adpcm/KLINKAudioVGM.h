#pragma once
// The ADPCM event source: turns a VGM file whose sample voice is an OKIM6258
// into what a KL4 board plays, one continuous ADPCM byte stream at the chip's
// physical rate plus timed events, pulled chunk by chunk by the playback path.
//
// The file's OKIM6258 input is decoded to samples and re-encoded with a second
// codec, so the stream stays continuous across the file's starts and stops and
// ends in a silence the board can hold. YM2151 writes and OKIM6258 clock,
// divider and pan changes are events bound to a stream byte; writes to any
// other chip are events bound to a time (kind 4), for the host to perform.
//
// Time axis: stream byte 0 plays at 0 µs; VGM time 0 is 5120 µs. One stream
// byte holds two samples, low nibble first, and lasts divider * 2000000 / clock
// µs (128 to 512 µs).
//
// Use (with ADPCMStreamPayloads.h):
//   KLINKAudioVGM source(bytes, dataOffset, loopOffset, clock, divider, repeatCount, fadeSeconds);
//   send source.InitialYM() as YM2151 writes;
//   while (source.Next(position, pcm, events)) {
//       kind 4 events (!IsBoardEvent) wait for their timeUs on the host;
//       send EncodeStreamEvents(the board events), then EncodeStreamData(position, pcm);
//       if (source.FadeStarted()) start the volume fade at source.FadeStartUs();
//       if (source.Finished()) send EncodeStreamEnd(source.BytePosition(), source.SilenceByte());
//   }
// Events always travel before the data they belong to.
//
// Not thread-safe: one playback thread creates, pulls and frees it. After any
// failure the source is not usable.

#include <cstdint>
#include <span>
#include <vector>

#include "adpcm/AudioEvent.h"
#include "adpcm/OKICodec.h"
#include "adpcm/OKIInput.h"

namespace klink {

class KLINKAudioVGM {
public:
    // Most stream bytes one chunk holds (a STREAM_DATA packet carries 250).
    static constexpr size_t kMaxChunkBytes = 250;
    // Stream time one chunk covers at most, µs.
    static constexpr uint64_t kChunkUs = 5120;

    // `data` is the whole VGM file; it is not copied and must outlive the
    // source. `dataOffset` is the absolute start of the commands, `loopOffset`
    // the header's relative loop offset as ValidateLoopOffset accepted it (0 =
    // no loop), `clock` (Hz) and `divider` the OKIM6258's from ReadOKIHeader,
    // `repeatCount` the passes to play (0 = endless), `fadeSeconds` the fade
    // length (0 = none; a fade only applies to a looping file).
    // Throws ReadError "Unsupported OKI clock/divider." unless the clock is 4 or
    // 8 MHz and the divider 512, 768 or 1024, and the command walker's errors
    // while it looks for the first sound.
    KLINKAudioVGM(std::span<const uint8_t> data, uint32_t dataOffset, uint32_t loopOffset, uint32_t clock,
                  uint16_t divider, int32_t repeatCount, int32_t fadeSeconds);

    // Produces the next chunk into the caller's vectors (cleared first; their
    // capacity is reused, so a streaming loop does not allocate per chunk):
    // `position` the stream index of pcm's first byte, `pcm` up to 250 stream
    // bytes covering at most 5.12 ms, `events` those that arose meanwhile, in
    // order. Returns false with empty outputs once the stream is over.
    // Throws ReadError for bad commands (the file's messages).
    bool Next(uint32_t& position, std::vector<uint8_t>& pcm, std::vector<AudioEvent>& events);

    // The byte for the board to play after the last stream byte: played again
    // and again from the final state it keeps the decoder where it is. Throws
    // WriteError before the stream is Finished or when the tail did not
    // bring the encoder to its smallest step.
    [[nodiscard]] uint8_t SilenceByte() const;

    // Stream time of the next byte to be produced, µs.
    [[nodiscard]] uint64_t TimeUs() const noexcept { return time_ / kUnitsPerUs; }
    // The VGM position reached, in 44.1 kHz samples (for the elapsed time shown).
    [[nodiscard]] uint64_t PositionSamples() const noexcept;
    // Where the fade began on the stream's time axis, µs; meaningful once FadeStarted.
    [[nodiscard]] uint64_t FadeStartUs() const noexcept { return fadeStartTime_ / kUnitsPerUs; }
    // YM2151 (register, value) pairs the file writes before its first sound, in
    // file order: the state to set before the stream starts.
    [[nodiscard]] const std::vector<uint8_t>& InitialYM() const noexcept { return initialYM_; }
    // The music and its 50 ms zero tail are complete; Next returns false.
    [[nodiscard]] bool Finished() const noexcept { return finished_; }
    // The repeats are done and the fade has begun (the music ends at its end).
    [[nodiscard]] bool FadeStarted() const noexcept { return fadeStarted_; }
    // Stream bytes produced so far: the position just past the last byte.
    [[nodiscard]] uint32_t BytePosition() const noexcept { return bytePosition_; }

private:
    // Times inside count in 1/441 µs: 10,000 units per 44.1 kHz sample.
    static constexpr uint64_t kUnitsPerUs = 441;

    void ScanInitialState(uint32_t dataOffset);
    void ProcessCommands(std::vector<AudioEvent>& events);
    void ExecuteCommand(std::vector<AudioEvent>& events);
    void DataBlock(uint32_t p);
    void WriteOKI(uint8_t reg, uint8_t value, std::vector<AudioEvent>& events);
    void EndCommand();
    void EndMusic();
    void AddEvent(std::vector<AudioEvent>& events, AudioEventKind kind,
                  std::span<const uint8_t> payload) const;
    void AddClockEvent(std::vector<AudioEvent>& events) const;
    [[nodiscard]] uint64_t ByteDuration() const noexcept;

    // Bounds-checked reads; a byte outside the file fails with its position.
    [[nodiscard]] uint8_t ReadByte(uint64_t at) const;
    [[nodiscard]] uint16_t ReadLE16(uint64_t at) const;
    [[nodiscard]] uint32_t ReadLE32(uint64_t at) const;
    void RequireBytes(uint64_t at, uint64_t count) const;

    std::span<const uint8_t> data_;
    uint32_t pointer_ = 0;     // next command's offset in data_
    uint32_t loopTarget_ = 0;  // absolute loop start; used only when loopOffset_ != 0
    uint32_t loopOffset_ = 0;
    uint32_t firstSound_ = 0xFFFFFFFF;  // offset of the first sounding command; none: 0xFFFFFFFF
    int32_t repeatCount_ = 0;
    int32_t fadeSeconds_ = 0;
    bool fadeStarted_ = false;
    uint64_t fadeStartTime_ = 0;
    uint64_t fadeEndTime_ = 0;
    uint64_t completedLoops_ = 0;

    OKIInput input_;   // the file's OKIM6258
    OKICodec output_;  // encoder of the stream; its state is the board decoder's
    std::vector<uint8_t> initialYM_;

    uint64_t time_ = 0;         // stream time of the next byte
    uint64_t commandTime_ = 0;  // time of the next command
    uint64_t endTime_ = 0;      // end of the zero tail
    uint64_t lastLoopTime_ = 0;
    uint32_t bytePosition_ = 0;

    uint32_t clock_ = 0;        // 4 or 8 MHz
    uint32_t clockShadow_ = 0;  // assembled from the clock registers, low byte first
    uint16_t divider_ = 0;      // 512, 768 or 1024
    uint8_t pan_ = 0;
    bool looped_ = false;
    bool ended_ = false;     // the music is over; only the zero tail remains
    bool finished_ = false;  // the zero tail is complete
};

}  // namespace klink
