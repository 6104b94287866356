#include "player/LinkReport.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace klink {
namespace {

constexpr int64_t kFineStepUs = 100;
constexpr size_t kFineBuckets = 10'000;  // up to 1 s
constexpr int64_t kCoarseStepUs = 10'000;
constexpr size_t kCoarseBuckets = 9'900;  // up to 100 s
constexpr int64_t kFineEndUs = kFineStepUs * static_cast<int64_t>(kFineBuckets);

std::string Ms(int64_t us) { return fmt::format("{:.1f} ms", static_cast<double>(us) / 1000.0); }

}  // namespace

WriteLateness::WriteLateness() : buckets_(kFineBuckets + kCoarseBuckets, 0) {}

void WriteLateness::Add(int64_t lateUs) noexcept {
    const int64_t us = std::max<int64_t>(lateUs, 0);
    size_t index = 0;
    if (us < kFineEndUs) {
        index = static_cast<size_t>(us / kFineStepUs);
    } else {
        index = std::min(kFineBuckets + static_cast<size_t>((us - kFineEndUs) / kCoarseStepUs),
                         buckets_.size() - 1);
    }
    ++buckets_[index];
    ++count_;
    max_ = std::max(max_, us);
}

int64_t WriteLateness::PercentileUs(double percent) const noexcept {
    if (count_ == 0) return 0;
    const auto rank = static_cast<uint64_t>(std::ceil(static_cast<double>(count_) * percent / 100.0));
    uint64_t seen = 0;
    for (size_t i = 0; i < buckets_.size(); ++i) {
        seen += buckets_[i];
        if (seen >= std::max<uint64_t>(rank, 1)) {
            if (i + 1 == buckets_.size()) return max_;  // past the histogram
            // The bucket's upper edge, never past the largest value seen.
            const int64_t edge =
                i < kFineBuckets ? static_cast<int64_t>(i + 1) * kFineStepUs
                                 : kFineEndUs + static_cast<int64_t>(i - kFineBuckets + 1) * kCoarseStepUs;
            return std::min(edge, max_);
        }
    }
    return max_;
}

std::string FormatLinkWarning(const std::string& portName, const platform::SerialDeviceInfo& device,
                              const LinkLoad& load) {
    const uint32_t rate = platform::SerialDeviceBytesPerSecond(device.kind);
    if (load.FitsLine(rate)) return {};
    return fmt::format(
        "Link: {} ({}) carries {} bytes/s; this track needs {} bytes/s at its busiest (from {}), {} %: it "
        "will "
        "fall behind.",
        portName, platform::SerialDeviceKindName(device.kind), rate, load.peakBytes,
        FormatTrackTime(load.peakStartUs), load.peakBytes * 100 / rate);
}

std::string FormatLatencyTimerNote(const std::string& portName, const platform::SerialDeviceInfo& device) {
    if (device.kind != platform::SerialDeviceKind::kUsbSerialAdapter || device.latencyTimerMs <= 1) return {};
    return fmt::format(
        "Link: {} is a USB-serial adapter whose latency timer holds every reply up to {} ms; to lower it: "
        "echo 1 | "
        "sudo tee {}",
        portName, device.latencyTimerMs, device.latencyTimerPath);
}

std::string FormatRegisterLinkReport(const WriteLateness& lateness) {
    if (lateness.Count() == 0) return {};
    return fmt::format("Link: writes late by {} (median), {} (p99), {} (max).", Ms(lateness.PercentileUs(50)),
                       Ms(lateness.PercentileUs(99)), Ms(lateness.MaxUs()));
}

std::string FormatStreamLinkReport(uint32_t underflows, uint32_t lateEvents) {
    return fmt::format("Link: {} underflows, {} late events on the board.", underflows, lateEvents);
}

std::string FormatPlaybackThreadNote(const std::string& scheduling, bool realtime, const std::string& refusal,
                                     bool memoryLocked) {
    std::string line = "Playback thread: " + scheduling;
    if (!realtime) {
        line += " (no real-time scheduling: " + refusal + ")";
    }
    line += memoryLocked ? ", memory locked." : ", memory not locked (RLIMIT_MEMLOCK).";
    return line;
}

}  // namespace klink
