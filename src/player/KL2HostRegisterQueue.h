#pragma once
// The register writes of a KL2 DAC playback that the host writes itself at
// their tick: writes for chips on the other connection, and, once the board
// has no room for more timed events, every timed write for the KL2 board.
// Writes go out in batches of one target, within a byte budget that keeps
// the writer's backlog short and, on the KL2 board, leaves the DAC stream
// its share of the receive window.
//
// Runs on the playback thread only.

#include <array>
#include <cstdint>
#include <deque>

#include "kl2/KL2DACCodec.h"
#include "protocol/KLINKConnection.h"
#include "routing/KLINKRouter.h"

namespace klink {

class KL2HostRegisterQueue {
public:
    // Events per Send call, so that a burst never holds up the DAC stream.
    static constexpr int32_t kEventsPerCall = 128;
    // Host writes wait while the DAC stream is less than this many ticks
    // (20 ms) ahead of play.
    static constexpr uint64_t kStreamAheadTicks = 882;
    // Bytes counted per batch on top of its data (the frame around it).
    static constexpr uint64_t kBatchOverhead = 32;

    // `dac` is the router's KL2 DAC connection; both must outlive the queue.
    KL2HostRegisterQueue(KLINKRouter& router, KLINKConnection& dac) : router_(router), dac_(dac) {}
    KL2HostRegisterQueue(const KL2HostRegisterQueue&) = delete;
    KL2HostRegisterQueue& operator=(const KL2HostRegisterQueue&) = delete;

    void Push(const KL2RegisterEvent& event) { events_.push_back(event); }
    [[nodiscard]] bool Empty() const noexcept { return events_.empty(); }
    // The first queued event; the queue must not be empty.
    [[nodiscard]] const KL2RegisterEvent& Front() const noexcept { return events_.front(); }

    // What the board has done, for the readiness and budget of KL2 writes.
    struct Board {
        // Every register event given to the board has executed: a KL2 write
        // of the host may only follow those.
        bool eventsDone = false;
        // Host register bytes to the board that a status has confirmed.
        uint64_t fmConfirmed = 0;
    };

    // Writes the queued events whose tick has come (nowTick), at most
    // kEventsPerCall of them. `startup`: before DAC_START, with the start-up
    // budget and without counting bytes in flight. Returns true only when it
    // stopped at that limit while more could go at once. Fails with
    // WriteError "KL2 receive budget changed during a register batch." when
    // the KL2 board refuses a batch its budget allowed; router and link
    // failures pass through.
    bool Send(uint64_t nowTick, bool startup, const Board& board, const KLINKCancel& cancel);

    // Host register bytes (plus kBatchOverhead per batch) sent to the KL2
    // board since DAC_START.
    [[nodiscard]] uint64_t FMSubmitted() const noexcept { return fmSubmitted_; }

private:
    [[nodiscard]] bool Ready(const KL2RegisterEvent& event, uint64_t nowTick,
                             const Board& board) const noexcept;
    [[nodiscard]] int32_t Budget(const KLINKVGMTarget& target, bool startup, const Board& board);

    KLINKRouter& router_;
    KLINKConnection& dac_;
    std::deque<KL2RegisterEvent> events_;
    uint64_t fmSubmitted_ = 0;
    std::array<uint8_t, 256> batch_{};
};

}  // namespace klink
