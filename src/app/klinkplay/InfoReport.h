#pragma once
// What `klinkplay info` prints for one analysed file: a JSON object (one per
// line, other tools read it) or a short text summary for people.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "player/LinkBudget.h"
#include "vgm/VGMAnalysis.h"
#include "vgm/VGMHeaderText.h"

namespace klinkplay {

// The link budget of a file for the report: its figures, or why the file's
// stream could not be walked. Neither for a failed analysis.
struct InfoLink {
    std::optional<klink::LinkLoad> load;
    std::string error;
};
[[nodiscard]] InfoLink MeasureInfoLink(const klink::VGMAnalysis& analysis);

// {"file", "ok", "error"?, "header", "gd3", "log", "targets"?, "clocks"?,
//  "okiClock"?, "okiDivider"?, "hasKl2Registers"?, "usesKl2Dac"?, "path"?, "link"?}
// Keys marked ? appear once the step that computes them has succeeded; keys
// keep this order. "header" holds every header field by its VGMHeaderFieldName,
// as the window writes it (empty texts before the header was read). "link"
// appears when `link` is given: {"bytes", "seconds", "averageBytesPerSecond",
// "peakBytesPerSecond", "peakStartUs", "peakAt", "fromBoardBytesPerSecond",
// "uartPercent", "fitsUart"} for the host-to-board direction, or {"error"}.
[[nodiscard]] nlohmann::ordered_json InfoJson(const std::string& file, const klink::VGMAnalysis& analysis,
                                              const InfoLink* link = nullptr);

// The compact JSON text of InfoJson (valid UTF-8, no newline).
[[nodiscard]] std::string InfoJsonLine(const std::string& file, const klink::VGMAnalysis& analysis,
                                       const InfoLink* link = nullptr);

// The one-line link row of the text summary.
[[nodiscard]] std::string LinkText(const InfoLink& link);

// The nonzero header clocks as "YM2151 4000000 Hz, SN76489 3579545 Hz";
// empty when the header names none.
[[nodiscard]] std::string HeaderClocksText(const klink::VGMHeaderTexts& header);

// A readable, aligned summary ending in a newline.
[[nodiscard]] std::string InfoText(const std::string& file, const klink::VGMAnalysis& analysis,
                                   const InfoLink* link = nullptr);

}  // namespace klinkplay
