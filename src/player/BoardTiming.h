#pragma once
// Board-timed playback of files without samples. A host that times register
// writes itself passes its own scheduling jitter on to the music; two kinds
// of board can time the writes instead:
// - a KL2 board with the buffered DAC runs register events on its own
//   44100 Hz tick clock between DAC records. A register-only file plays
//   through the KL2 DAC path with a time line of delay records alone: no DAC
//   sample is invented, the writes are register events at their ticks.
// - a Keltra 4 applies YM2151 writes at exact positions of its ADPCM stream.
//   A YM2151 file plays through the ADPCM stream path with a silent stream.
// Chips on another board stay host-timed, as on both streaming paths.
//
// The choice is made once per track, after the boards were probed and before
// they are started: it may change the analysis (the path it leads to) and
// the router's plan, and it says what it chose in one log line.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "player/LinkBudget.h"
#include "protocol/KLINKSerialLink.h"
#include "routing/KLINKRouter.h"
#include "vgm/VGMAnalysis.h"

namespace klink {

enum class PlaybackTiming : uint8_t {
    kHost,   // the host writes every chip at its time, as register playback always did
    kBoard,  // the board times the writes where the file and the board allow it
    kAuto,   // board-timed where the board and the link budget allow it, else host-timed
};

// "host", "board", "auto".
[[nodiscard]] std::string_view PlaybackTimingName(PlaybackTiming timing) noexcept;
// The timing of a name PlaybackTimingName gives; nullopt for any other text.
[[nodiscard]] std::optional<PlaybackTiming> ParsePlaybackTiming(std::string_view name) noexcept;

// The silent stream of a board-timed YM2151 file: the lowest rate a Keltra 4
// plays, 4 MHz / 1024, 1953 bytes (3906 samples) a second. Its samples are all
// silence, so a higher rate buys nothing but a finer write position, at up to
// four times the link load: at 8 MHz / 512 the stream alone takes about
// 11 KB/s framed, all a 115200-baud line carries. At 512 µs per byte a write
// lands at most one byte late.
inline constexpr uint32_t kSilentStreamClock = 4000000;
inline constexpr uint16_t kSilentStreamDivider = 1024;

// The board that could time a file's writes.
enum class BoardTimedPath : uint8_t {
    kNone,
    kKL2,  // KL2 profile chips through the KL2 DAC path, delay records only
    kKL4,  // YM2151 through the ADPCM stream path, silent stream
};

// Which board could time `file` (a successful analysis), or kNone with the
// reason in `why`: a file that streams to its board already, one without a
// YM2151 or a KL2 profile chip, one without a wait.
[[nodiscard]] BoardTimedPath BoardTimedPathFor(const VGMAnalysis& file, std::string& why);

// `file` as the board-timed play sees it: the KL2 DAC in use, or the silent
// stream's clock and divider as the OKIM6258 stream.
void ApplyBoardTiming(VGMAnalysis& file, BoardTimedPath path) noexcept;

// Empty when a line of `bytesPerSecond` each way (0: unlimited) carries the
// board-timed load: its busiest second to the board and its status replies
// back; otherwise why it does not, for the log.
[[nodiscard]] std::string BoardTimedLinkRefusal(const LinkLoad& load, uint32_t bytesPerSecond);

// Decides the timing of one track and applies it: `file` and the router's
// plan change for a board-timed play. `router` must be prepared for `file`
// as analysed; `lineBytesPerSecond` gives the rate of connection 0 or 1
// (0: unlimited). Returns the log line, empty for kHost (host timing logs
// nothing, as before). With kBoard a file the board could time is
// board-timed or the plan's refusal is thrown; with kAuto a refusal, a route
// that would move a chip to another board, or a link that cannot carry the
// board-timed load leaves the file host-timed.
[[nodiscard]] std::string ChooseTiming(PlaybackTiming timing, VGMAnalysis& file, KLINKRouter& router,
                                       const KLINKCancel& cancel,
                                       const std::function<uint32_t(int32_t)>& lineBytesPerSecond);

}  // namespace klink
