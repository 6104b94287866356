#pragma once
// The KL2 DAC stream source: turns the command data of a VGM file that drives
// the YM2612 DAC into the chunks the KL2 DAC player sends. Board-independent
// and pure apart from raising errors.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "kl2/KL2DACCodec.h"
#include "kl2/KL2RegisterState.h"
#include "kl2/KL2VGMStartup.h"
#include "vgm/KLINKVGMTarget.h"

namespace klink {

// Longest stretch one chunk covers, in ticks (just under 5 ms).
inline constexpr uint64_t kKL2ChunkTicks = 220;
// Most register events one chunk may hold.
inline constexpr size_t kKL2MaxChunkEvents = 4096;
// Fastest DAC stream, in steps per second: four DAC writes per tick. The
// YM2612 outputs at most about 55,000 samples a second, and every step is a
// record on the link; a file asking for more (a few bytes can ask for
// billions of records) is refused rather than rendered for hours.
inline constexpr uint32_t kKL2MaxStreamFrequency = 4 * 44100;

// State of one VGM DAC stream (IDs 0..255). Only streams set up for the first
// YM2612, port 0, register 0x2A are enabled; every command for another stream
// is read and ignored.
struct KL2DACStream {
    bool enabled = false;
    bool active = false;  // playing
    bool loop = false;
    bool reverse = false;
    uint8_t stepSize = 1;        // bank bytes per step, never 0
    uint8_t stepBase = 0;        // bank bytes skipped before the first step
    uint32_t frequency = 0;      // steps per second; nonzero while active
    uint32_t startPosition = 0;  // bank position of the first step (start offset + stepBase)
    uint32_t stepCount = 0;      // steps of one pass
    uint32_t stepIndex = 0;      // steps played in the current pass
    uint64_t startTick = 0;      // tick the current timing started at
    uint64_t nextTick = 0;       // tick of the next step
    uint64_t emitted = 0;        // steps played since startTick
};

// Produces, chunk by chunk, the DAC records and register events of one
// playback of a file:
// - the YM2612 DAC from the file's PCM bank (all type-0x00 data blocks),
//   played by the direct DAC commands 0x80-0x8F (with 0xE0 seeks), plain
//   writes of YM2612 register 0x2A, and the 256 DAC streams (0x90-0x95);
// - writes of YM2612 register 0x2B as DAC enable records (value AND 0x80);
// - every other register write as a register event at its tick, SN76489 data
//   bytes made self-contained by KL2RegisterState (a tone data byte follows
//   its latch byte as a second event of the same tick);
// - the time-zero key (0x28) and DAC writes reduced to their final state
//   (KL2VGMStartup) when the file goes on past time zero; the writes before the
//   first audible write are marked Initial (start-up state, sent at once);
// - looping to the header's loop point until the repeat count is reached,
//   then either the end or a fade of fadeSeconds during which the music keeps
//   looping and ends fadeSeconds * 44100 ticks after the fade started.
//
// Time is counted in ticks of 1/44100 s, the file's sample unit, from tick 0.
// Failures are ReadErrors with fixed messages (and the WriteErrors of
// KL2RegisterState for chips the board cannot take); a failed call leaves the
// source unusable. Not thread-safe: one playback thread owns it.
class KL2DACVGM {
public:
    // What an event writes. The numbers of the two DAC kinds are those of the
    // DAC records they become.
    enum class EventKind : uint8_t {
        kDACSample = 0,     // value to YM2612 register 0x2A (a DAC record)
        kDACEnable = 1,     // value 0x00 or 0x80 to register 0x2B (a DAC record)
        kRegisterWrite = 3  // value to address of target (a register event)
    };

    // One output in time order.
    struct Event {
        uint64_t tick = 0;
        bool initial = false;  // start-up state, written at once instead of at its tick
        EventKind kind = EventKind::kDACSample;
        uint8_t value = 0;
        uint8_t address = 0;      // kRegisterWrite only
        KLINKVGMTarget target{};  // kRegisterWrite only
    };

    // `data` is the whole file image; the caller keeps it alive and unchanged
    // for the life of the source (nothing is copied but the PCM bank).
    // `dataOffset` is the absolute offset of the first command, `loopOffset`
    // the header loop field (relative to 0x1C, already validated, 0 = no
    // loop), `repeatCount` the passes through the loop (0 = endless; negative
    // fails at the first loop end with "Invalid VGM repeat count."),
    // `fadeSeconds` the fade after the last pass (0 or negative = none).
    // Collects the PCM bank and reads the time-zero commands; their failures
    // fail the construction.
    KL2DACVGM(std::span<const uint8_t> data, uint32_t dataOffset, uint32_t loopOffset, int32_t repeatCount,
              int32_t fadeSeconds);

    KL2DACVGM(const KL2DACVGM&) = delete;
    KL2DACVGM& operator=(const KL2DACVGM&) = delete;

    // Fills `chunk` with the next stretch of the stream, reusing its storage
    // (no allocation once its vectors have grown): StartTick is the previous
    // chunk's EndTick (0 for the first), the chunk spans at most 220 ticks
    // and holds 1 to `maxRecords` (1..60, the board's MaxRecords) records and
    // at most 4096 events, every event's Tick lies in [StartTick, EndTick)
    // with Initial ones included, and the records' Waits add up to EndTick -
    // StartTick. Each record's Wait runs to the next record; time without
    // samples is a delay record (kind 2) or the previous record's Wait.
    // Returns false, with no records or events, once everything was
    // delivered; Finished() is then true. Writes at the very end of the music
    // get one tick of their own, which EndTick() includes. A `maxRecords`
    // outside 1..60 fails with ArgumentOutOfRange "Invalid DAC chunk size."
    // (unless the source has already finished). May read many commands per
    // call; at most 1,000,000 without producing anything ("VGM has no
    // advancing wait.").
    [[nodiscard]] bool Next(KL2DACChunk& chunk, int32_t maxRecords);

    // The last chunk was delivered.
    [[nodiscard]] bool Finished() const noexcept { return finished_; }
    // Tick at which the music (or its fade) ends; final once Finished().
    [[nodiscard]] uint64_t EndTick() const noexcept { return endTick_; }
    // EndTick of the chunks delivered so far.
    [[nodiscard]] uint64_t OutputTick() const noexcept { return outputTick_; }
    // The last pass ended and the fade-out runs from FadeStartTick().
    [[nodiscard]] bool FadeStarted() const noexcept { return fadeStarted_; }
    [[nodiscard]] uint64_t FadeStartTick() const noexcept { return fadeStartTick_; }
    // The time-zero key and DAC writes as collected at construction.
    [[nodiscard]] const KL2VGMStartup& Startup() const noexcept { return startup_; }

private:
    void CollectPCMBlocks(uint32_t dataOffset);
    void BuildStartup();
    [[nodiscard]] bool NextEvent(Event& event);
    [[nodiscard]] bool ReadEvent(Event& event, bool startupOnly);
    // Reads one of the stream commands 0x90-0x95 at `at`.
    void StreamCommand(uint8_t command, uint32_t at);
    void StartDACStream(uint8_t id, uint64_t offset, uint64_t steps, bool loop, bool reverse);
    void StopStream(uint8_t id) noexcept;
    void TransformEvent(Event& event);
    void EndCommand();
    void CarryBack(KL2DACChunk& chunk);
    // Checks that `count` bytes from `at` lie inside the data.
    void Need(uint64_t at, uint64_t count) const;

    std::span<const uint8_t> data_;
    std::vector<uint8_t> bank_;          // the YM2612 PCM bank: all type-0x00 blocks in file order
    std::vector<uint32_t> blockStarts_;  // bank position of each type-0x00 block (0x95 block numbers)
    std::vector<uint32_t> blockSizes_;
    uint32_t pointer_ = 0;      // position of the next command
    uint32_t loopOffset_ = 0;   // header loop field, 0 = none
    uint32_t pcmPosition_ = 0;  // bank position for 0x80-0x8F

    std::array<KL2DACStream, 256> streams_{};
    // IDs of the active streams in ascending order: the sample search looks at
    // these only, and the lowest ID wins a tie.
    std::array<uint8_t, 256> activeIds_{};
    uint32_t activeCount_ = 0;

    Event extra_{};  // the data byte that follows a transformed PSG latch
    bool haveExtra_ = false;
    std::vector<Event> startupEvents_;  // time-zero events prepared at construction
    size_t startupIndex_ = 0;
    // Events taken back from a chunk cut by the record limit, and the held
    // event behind them: handed out again before anything new is read.
    std::vector<Event> carry_;
    size_t carryIndex_ = 0;
    KL2VGMStartup startup_{};
    KL2RegisterState registerState_;

    Event next_{};  // held for the next chunk
    bool haveNext_ = false;

    bool ended_ = false;     // the command data produced its last event
    bool finished_ = false;  // the last chunk was delivered
    bool looped_ = false;
    bool musicStarted_ = false;  // an audible event was produced
    uint64_t commandTick_ = 0;   // tick of the command being read
    uint64_t outputTick_ = 0;
    uint64_t endTick_ = 0;  // valid once ended_
    uint64_t lastLoopTick_ = 0;
    uint64_t completedLoops_ = 0;
    int32_t repeatCount_ = 1;
    int32_t fadeSeconds_ = 0;
    bool fadeStarted_ = false;
    uint64_t fadeStartTick_ = 0;
    uint64_t fadeEndTick_ = 0;
};

}  // namespace klink
