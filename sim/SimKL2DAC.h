#pragma once
// The KL2 board's buffered DAC: numbered DAC records with tick delays and
// timed register events, played on a 44100 Hz tick clock that DAC_START
// starts, sealed by DAC_END, reported by DAC_STATUS.
//
// Time-driven and single-threaded like the ADPCM player. The tick clock starts
// when DAC_START arrives and at least `lead` ticks are buffered (or the stream
// is sealed with fewer); tick 0 then plays at that moment. When the records
// run out before DAC_END, the clock waits for more (an underflow) instead of
// skipping ticks.

#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <vector>

#include "SimBoardSink.h"
#include "SimProfile.h"
#include "kl2/KL2DACCodec.h"

namespace klink::sim {

// Fault codes in the status record's Fault field.
inline constexpr uint8_t kDACFaultSequence = 1;  // records out of sequence or off the accepted tick
inline constexpr uint8_t kDACFaultRecordOverflow = 2;
inline constexpr uint8_t kDACFaultEventOverflow = 3;
inline constexpr uint8_t kDACFaultInvalid = 4;          // malformed packet, record or event
inline constexpr uint8_t kDACFaultEndMismatch = 5;      // DAC_END disagrees with what was accepted
inline constexpr uint8_t kDACFaultReceiveOverflow = 6;  // the board's receive buffer overflowed

class SimKL2DAC {
public:
    SimKL2DAC(SimBoardSink& sink, const SimProfile& profile);

    void Reset();
    // DAC_START: false when refused (bad payload, already started, faulted).
    [[nodiscard]] bool Start(int64_t timeNs, std::span<const uint8_t> payload);
    void Records(int64_t timeNs, std::span<const uint8_t> payload);
    void RegisterEvents(int64_t timeNs, std::span<const uint8_t> payload);
    void End(int64_t timeNs, std::span<const uint8_t> payload);
    [[nodiscard]] KL2DACStatus Status(int64_t timeNs);
    [[nodiscard]] static std::vector<uint8_t> EncodeStatus(const KL2DACStatus& status);
    [[nodiscard]] std::vector<uint8_t> EncodeCapabilities() const;

    void AdvanceTo(int64_t timeNs);
    // The board's receive buffer overflowed: packets are lost, so the DAC stops with its fault.
    void ReceiveOverflow(int64_t timeNs);
    void SetFault(uint8_t code, uint64_t atTick) {
        faultCode_ = code;
        faultTick_ = atTick;
    }
    [[nodiscard]] bool Running() const noexcept { return running_; }

private:
    struct Record {
        KL2RecordKind kind = KL2RecordKind::kSample;
        uint8_t value = 0;
        uint16_t wait = 0;
    };
    struct Event {
        KLINKVGMTarget target;
        int reg = -1;
        uint8_t value = 0;
    };
    void Touch();
    void Fault(int64_t timeNs, uint8_t code, const char* what, bool injected = false);
    void Reject(int64_t timeNs, const char* what);
    void TryStartClock(int64_t timeNs);
    // New records or the end arrived: a clock stalled at the end of the
    // buffer goes on from now, then a clock not yet started may start.
    void ResumeClock(int64_t timeNs);
    void Execute(int64_t timeNs, const Event& e);
    void ExecuteRecord(int64_t timeNs, const Record& r);
    [[nodiscard]] int64_t TimeOf(uint64_t tick) const;

    SimBoardSink& sink_;
    const SimProfile& profile_;
    KL2DACStatus st_;
    std::deque<Record> records_;
    uint64_t nextRecordTick_ = 0;
    std::multimap<uint64_t, Event> events_;
    bool startRequested_ = false;
    bool running_ = false;
    uint32_t lead_ = 0;
    int64_t originNs_ = 0;
    bool stalled_ = false;
    uint32_t endSequence_ = 0;
    uint64_t endTick_ = 0;
    uint8_t dacValue_ = 0x80;
    bool dacEnabled_ = false;
    uint8_t faultCode_ = 0;
    uint64_t faultTick_ = 0;
};

}  // namespace klink::sim
