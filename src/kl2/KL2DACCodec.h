#pragma once
// The buffered DAC protocol of the KL2 board: the records and messages that
// carry YM2612 DAC samples and timed register events ahead of time, and the
// arithmetic the player uses for flow control. Payloads only; the frame around
// them belongs to the KLINK codec. All multi-byte fields are little-endian, and
// every non-empty payload and reply record starts with the format byte 1.
//
// Ticks are 44100 Hz sample periods counted from the start of the stream.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vgm/KLINKVGMTarget.h"

namespace klink {

// Opcodes: Opcode::kDACCapabilities .. Opcode::kRegisterEvents in protocol/KLINKCodec.h.

inline constexpr uint32_t kKL2TickRate = 44100;
inline constexpr size_t kKL2CapabilityRecordSize = 21;
inline constexpr size_t kKL2StatusRecordSize = 72;
// Most DAC records one DAC_RECORDS packet carries (15 + 4 * 60 = 255 bytes).
inline constexpr int32_t kKL2MaxRecordsPerPacket = 60;
// Largest REGISTER_EVENTS payload, and the events that fit it by width.
inline constexpr int32_t kKL2MaxEventPayload = 256;
inline constexpr int32_t kKL2MaxOneByteEvents = 244;
inline constexpr int32_t kKL2MaxTwoByteEvents = 122;

// The unsigned little-endian value of `width` (0..8) bytes at `offset`. A negative
// `offset` or `width`, a `width` above 8, or bytes that end before `offset` + `width` fail
// with ReadError "Truncated KL2 DAC field.".
[[nodiscard]] uint64_t ReadKL2Field(std::span<const uint8_t> bytes, int32_t offset, int32_t width);

// Stores the low `width` (0..8) bytes of `value` little-endian at `offset` of a buffer
// that is already sized; it never grows. A negative `offset`, a `width` outside
// 0..8, or a buffer shorter than `offset` + `width` fail with WriteError
// "Invalid KL2 DAC field.".
void WriteKL2Field(std::vector<uint8_t>& bytes, int32_t offset, uint64_t value, int32_t width);

// What a board's DAC buffer offers (reply to DAC_CAPABILITIES).
struct KL2DACCapabilities {
    uint32_t revision = 0;        // always 40 once decoded
    uint32_t tickRate = 0;        // always 44100 once decoded
    uint32_t recordCapacity = 0;  // DAC records the board holds unplayed, nonzero
    uint32_t maxLateUs = 0;       // the board's lateness figure; kept for the log only
    uint16_t eventCapacity = 0;   // timed register events held unexecuted, nonzero
    uint8_t maxRecords = 0;       // DAC records per DAC_RECORDS packet, 1..60

    // Decodes the 21-byte record; fails with ReadError "Unsupported KL2 DAC
    // capability format." on another size or format byte, "Unsupported KL2 DAC
    // profile/revision/capacity." when the board's profile does not fit. On
    // failure the record is unchanged.
    void Decode(std::span<const uint8_t> reply);

    friend bool operator==(const KL2DACCapabilities&, const KL2DACCapabilities&) = default;
};

// States of the board's DAC buffer.
enum class KL2DACState : uint8_t {
    kCleared = 0,
    kPlaying = 1,
    kEnded = 2,
    kFaulted = 3,
};

// The board's DAC buffer state (reply to DAC_STATUS). Counters are cumulative
// since the last RESET.
struct KL2DACStatus {
    KL2DACState state = KL2DACState::kCleared;
    uint8_t fault = 0;  // board fault code, 0 = none
    uint8_t sealed = 0;
    uint32_t accepted = 0;  // DAC records accepted
    uint32_t consumed = 0;  // DAC records played
    uint32_t queued = 0;    // `accepted` - `consumed`
    uint32_t free = 0;
    uint32_t eventQueued = 0;    // register events waiting on the board
    uint32_t eventConsumed = 0;  // register events executed
    uint32_t underflows = 0;
    uint32_t overflows = 0;
    uint32_t rejected = 0;
    uint32_t lateDac = 0;
    uint32_t maxLateUs = 0;     // largest DAC lateness seen
    uint64_t acceptedTick = 0;  // end tick of the accepted records
    uint64_t playedTick = 0;    // tick played up to
    uint64_t executedTick = 0;

    // Decodes the 72-byte record; fails with ReadError "Invalid KL2 DAC status."
    // on another size, format byte or a `state` above 3, and "Inconsistent KL2 DAC
    // status positions." when the counters contradict each other. On failure the
    // record is unchanged.
    void Decode(std::span<const uint8_t> reply);

    // One log line: "DAC: state=1 fault=0 accepted=10 consumed=7 queued=3;
    // underflows=0 overflows=0 rejected=0; max DAC late=0 us; ticks=300/520"
    // (played/accepted ticks at the end).
    [[nodiscard]] std::string Describe() const;

    friend bool operator==(const KL2DACStatus&, const KL2DACStatus&) = default;
};

// Kinds of KL2DACRecord.
enum class KL2RecordKind : uint8_t {
    kSample = 0,  // value to the YM2612 DAC data register 0x2A
    kEnable = 1,  // value (0x00 or 0x80) to the DAC enable register 0x2B
    kDelay = 2,   // nothing written; value 0, wait at least 1
};

// One DAC record, 4 bytes on the wire. `wait` counts the ticks to the next record.
struct KL2DACRecord {
    KL2RecordKind kind = KL2RecordKind::kSample;
    uint8_t value = 0;
    uint16_t wait = 0;

    friend bool operator==(const KL2DACRecord&, const KL2DACRecord&) = default;
};

// One register write bound to a tick. Initial writes belong to the start-up
// state and are written at once instead of at their tick; the flag is never
// transmitted.
struct KL2RegisterEvent {
    uint64_t tick = 0;
    bool initial = false;
    KLINKVGMTarget target{};
    uint8_t address = 0;
    uint8_t value = 0;

    friend bool operator==(const KL2RegisterEvent&, const KL2RegisterEvent&) = default;
};

// A contiguous stretch of the stream: startTick plus every record's `wait` is
// endTick, and every event's `tick` lies in [startTick, endTick).
struct KL2DACChunk {
    uint64_t startTick = 0;
    uint64_t endTick = 0;
    std::vector<KL2DACRecord> records;
    std::vector<KL2RegisterEvent> events;
};

// Bytes per register event: 1 for the SN76489s (WriteID 0x30, 0x50), which take
// a value only, else 2 (register, value).
[[nodiscard]] int32_t KL2EventWidth(const KLINKVGMTarget& target) noexcept;

// The DAC_RECORDS payload for all records of `chunk`, the first one numbered
// firstSequence (records are numbered over the whole stream). Fails with
// WriteError "Invalid KL2 DAC record count/sequence." (no records, more than 60,
// or numbers past 0xFFFFFFFF), "Invalid KL2 DAC record." (a kind, value or wait
// the board does not take, or a tick past 2^64 - 1) and "KL2 DAC chunk end
// mismatch." (the waits do not add up to endTick).
[[nodiscard]] std::vector<uint8_t> EncodeKL2DACRecords(uint32_t firstSequence, const KL2DACChunk& chunk);

// The REGISTER_EVENTS payload for `events[first .. first + count - 1]`, which must
// share one tick and one target. Fails with WriteError "Invalid KL2 register
// event batch." (range outside `events`), "KL2 register event payload too large."
// (more than 256 bytes) or "Invalid KL2 register event target/order." (a
// different tick or target, or a YM2612 port-0 write of 0x2A/0x2B, which only
// DAC records may write).
[[nodiscard]] std::vector<uint8_t> EncodeKL2RegisterEvents(std::span<const KL2RegisterEvent> events,
                                                           int32_t first, int32_t count);

// The DAC_START payload: start playing once leadTicks are buffered ahead.
[[nodiscard]] std::vector<uint8_t> EncodeKL2DACStart(uint32_t leadTicks);

// The DAC_END payload: the stream ends before record nextSequence, at endTick.
[[nodiscard]] std::vector<uint8_t> EncodeKL2DACEnd(uint32_t nextSequence, uint64_t endTick);

// The DAC_STATUS request payload.
[[nodiscard]] std::vector<uint8_t> EncodeKL2DACStatusRequest();

// Whether `count` more register events fit a board that holds `capacity`
// unexecuted events, `sent` having been sent and `consumed` executed. `sent` below
// `consumed` or a negative `count` fail with ReadError "Invalid KL2 register event
// credits.".
[[nodiscard]] bool KL2EventCreditsFit(uint32_t sent, uint32_t consumed, uint16_t capacity, int32_t count);

// Bytes of host register writes that may be sent now to a connection with
// `pending` bytes waiting in its writer. Before DAC_START (`startup`) the start-up
// window allows up to 254 bytes per batch; while streaming, up to 128, and
// `inFlight` (bytes not yet confirmed by a status reply) may not exceed 224.
[[nodiscard]] int32_t KL2RegisterBudget(uint64_t pending, bool startup, uint64_t inFlight) noexcept;

}  // namespace klink
