#pragma once
// What the log says about the link around a track: before it, when a port
// cannot carry the track (and once per port, when a USB-serial adapter's
// latency timer holds up replies); after it, how the track went on the link.
// One short line each; an empty text means there is nothing to say.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"
#include "player/LinkBudget.h"

namespace klink {

// How late the register path's writes reach the line: for each sample
// position, the time from when it fell due until its last byte will have
// left the host (its send time plus what waits ahead of it in the writer
// and the driver queue, at the line's rate). A fixed histogram: 0.1 ms steps
// up to 1 s, then 10 ms steps up to 100 s; the maximum is kept exactly.
// Made once per track; Add never allocates. Not thread-safe.
class WriteLateness {
public:
    WriteLateness();

    // A negative lateness (early) counts as 0.
    void Add(int64_t lateUs) noexcept;
    [[nodiscard]] uint64_t Count() const noexcept { return count_; }
    // The lateness that `percent` of the writes did not exceed (to the
    // histogram's step); 0 without writes.
    [[nodiscard]] int64_t PercentileUs(double percent) const noexcept;
    [[nodiscard]] int64_t MaxUs() const noexcept { return max_; }

private:
    std::vector<uint32_t> buckets_;
    uint64_t count_ = 0;
    int64_t max_ = 0;
};

// Before a track, for a port that cannot carry it; empty when it can.
// "Link: sim-keltra4-1 (simulated UART line) carries 11520 bytes/s; this
// track needs 12212 bytes/s at its busiest (from 0:05.2), 106 %: it will fall
// behind."
[[nodiscard]] std::string FormatLinkWarning(const std::string& portName,
                                            const platform::SerialDeviceInfo& device, const LinkLoad& load);

// For a USB-serial adapter whose latency timer is above 1 ms; empty otherwise.
[[nodiscard]] std::string FormatLatencyTimerNote(const std::string& portName,
                                                 const platform::SerialDeviceInfo& device);

// After a register track: "Link: writes late by 1.2 ms (median), 4.8 ms (p99),
// 31.0 ms (max)." Empty when no write was timed.
[[nodiscard]] std::string FormatRegisterLinkReport(const WriteLateness& lateness);

// After a streaming track, from the board's final status: "Link: 0
// underflows, 0 late events on the board."
[[nodiscard]] std::string FormatStreamLinkReport(uint32_t underflows, uint32_t lateEvents);

// What the register path's playback thread got from the system, once per
// program: its scheduling ("real-time (SCHED_FIFO, priority 10)", "nice -5"),
// why it is not real-time when it is not, and whether the track stays in
// memory.
[[nodiscard]] std::string FormatPlaybackThreadNote(const std::string& scheduling, bool realtime,
                                                   const std::string& refusal, bool memoryLocked);

}  // namespace klink
