#include "player/BoardTiming.h"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "common/Errors.h"
#include "routing/KLINKRouting.h"
#include "vgm/VGMChips.h"

namespace klink {

namespace {

[[nodiscard]] bool HasYM2151(const VGMAnalysis& file) noexcept {
    return std::any_of(file.registerTargets.begin(), file.registerTargets.end(),
                       [](const KLINKVGMTarget& t) { return t.writeId == kWriteYM2151 && t.instance == 0; });
}

[[nodiscard]] std::string HostLine(const std::string& reason) { return "Timing: host (" + reason + ")."; }

[[nodiscard]] std::string BoardLine(BoardTimedPath path) {
    if (path == BoardTimedPath::kKL2) {
        return "Timing: board (register events on the KL2 board's 44100 Hz tick clock, delay records only).";
    }
    return fmt::format("Timing: board (YM2151 writes as events of a silent {} Hz / {} stream).",
                       kSilentStreamClock, kSilentStreamDivider);
}

// The connection of every target under the current plan.
[[nodiscard]] std::vector<int32_t> TargetDevices(const VGMAnalysis& file, const KLINKRouter& router) {
    std::vector<int32_t> devices;
    const KLINKRoutePlan* plan = router.Plan();
    for (const KLINKVGMTarget& t : file.registerTargets) {
        devices.push_back(plan != nullptr ? plan->DeviceFor(t.writeId, t.instance, t.page) : -1);
    }
    return devices;
}

[[nodiscard]] int32_t TimingDevice(const KLINKRouter& router, BoardTimedPath path) noexcept {
    const KLINKRoutePlan* plan = router.Plan();
    if (plan == nullptr) return -1;
    return path == BoardTimedPath::kKL2 ? plan->DACDevice() : plan->AudioDevice();
}

}  // namespace

std::string_view PlaybackTimingName(PlaybackTiming timing) noexcept {
    switch (timing) {
        case PlaybackTiming::kBoard:
            return "board";
        case PlaybackTiming::kAuto:
            return "auto";
        case PlaybackTiming::kHost:
            break;
    }
    return "host";
}

std::optional<PlaybackTiming> ParsePlaybackTiming(std::string_view name) noexcept {
    for (const PlaybackTiming t : {PlaybackTiming::kHost, PlaybackTiming::kBoard, PlaybackTiming::kAuto}) {
        if (PlaybackTimingName(t) == name) return t;
    }
    return std::nullopt;
}

BoardTimedPath BoardTimedPathFor(const VGMAnalysis& file, std::string& why) {
    if (PlaybackPathFor(file) != VGMPlaybackPath::kRegister) {
        why = "the file streams to its board";
        return BoardTimedPath::kNone;
    }
    // Without a wait there is no time line for the board to keep (and the
    // KL2 DAC path refuses a file without a record).
    if (!file.header || file.header->totalSamples == 0) {
        why = "the file has no time line";
        return BoardTimedPath::kNone;
    }
    // The KL2 profile takes precedence: its chips need the board's register
    // rewrite, which only the KL2 path applies; a YM2151 beside them is then
    // written by the host.
    if (file.hasKl2Registers) return BoardTimedPath::kKL2;
    if (HasYM2151(file)) return BoardTimedPath::kKL4;
    why = "no chip of the file can be timed by its board";
    return BoardTimedPath::kNone;
}

void ApplyBoardTiming(VGMAnalysis& file, BoardTimedPath path) noexcept {
    switch (path) {
        case BoardTimedPath::kKL2:
            file.useKl2Dac = true;
            break;
        case BoardTimedPath::kKL4:
            file.okiClock = kSilentStreamClock;
            file.okiDivider = kSilentStreamDivider;
            break;
        case BoardTimedPath::kNone:
            break;
    }
}

std::string BoardTimedLinkRefusal(const LinkLoad& load, uint32_t bytesPerSecond) {
    if (!load.FitsLine(bytesPerSecond)) {
        return fmt::format(
            "board timing needs {} bytes/s at its busiest (from {}); the line carries {} bytes/s",
            load.peakBytes, FormatTrackTime(load.peakStartUs), bytesPerSecond);
    }
    // The replies come back on the same kind of line: the KL2 path's status
    // every 5 ms alone fills most of a UART.
    const uint64_t replies = load.durationUs == 0 ? 0 : load.fromBoardBytes * 1'000'000 / load.durationUs;
    if (bytesPerSecond != 0 && replies > bytesPerSecond) {
        return fmt::format("board timing's status replies need {} bytes/s; the line carries {} bytes/s",
                           replies, bytesPerSecond);
    }
    return {};
}

std::string ChooseTiming(PlaybackTiming timing, VGMAnalysis& file, KLINKRouter& router,
                         const KLINKCancel& cancel,
                         const std::function<uint32_t(int32_t)>& lineBytesPerSecond) {
    if (timing == PlaybackTiming::kHost) return {};
    std::string why;
    const BoardTimedPath path = BoardTimedPathFor(file, why);
    if (path == BoardTimedPath::kNone) return HostLine(why);

    VGMAnalysis boardTimed = file;
    ApplyBoardTiming(boardTimed, path);
    if (timing == PlaybackTiming::kBoard) {
        router.Replan(boardTimed.registerTargets, boardTimed.registerClocks, boardTimed.okiClock, cancel,
                      boardTimed.useKl2Dac);
        file = std::move(boardTimed);
        return BoardLine(path);
    }

    const std::vector<int32_t> hostDevices = TargetDevices(file, router);
    try {
        router.Replan(boardTimed.registerTargets, boardTimed.registerClocks, boardTimed.okiClock, cancel,
                      boardTimed.useKl2Dac);
    } catch (const ReadError& e) {
        // The plan's refusals: no board that can time the file.
        return HostLine(e.what());
    }
    const auto restore = [&] {
        router.Replan(file.registerTargets, file.registerClocks, file.okiClock, cancel, file.useKl2Dac);
    };
    if (TargetDevices(boardTimed, router) != hostDevices) {
        restore();
        return HostLine("board timing would move a chip to another board");
    }
    std::string refusal;
    try {
        refusal = BoardTimedLinkRefusal(MeasureLinkLoad(boardTimed),
                                        lineBytesPerSecond(TimingDevice(router, path)));
    } catch (const Error& e) {
        refusal = e.what();  // the file fails the board-timed walk; host timing reports its own way
    }
    if (!refusal.empty()) {
        restore();
        return HostLine(refusal);
    }
    file = std::move(boardTimed);
    return BoardLine(path);
}

}  // namespace klink
