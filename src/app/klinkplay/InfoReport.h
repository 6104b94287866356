#pragma once
// What `klinkplay info` prints for one analysed file: a JSON object (one per
// line, other tools read it) or a short text summary for people.

#include <nlohmann/json.hpp>
#include <string>

#include "vgm/VGMAnalysis.h"

namespace klinkplay {

// {"file", "ok", "error"?, "display", "gd3", "log", "targets"?, "clocks"?,
//  "oki_clock"?, "oki_divider"?, "has_kl2_registers"?, "uses_kl2_dac"?, "path"?}
// Keys marked ? appear once the step that computes them has succeeded; keys
// keep this order.
[[nodiscard]] nlohmann::ordered_json InfoJson(const std::string& file, const klink::VGMAnalysis& analysis);

// The compact JSON text of InfoJson (valid UTF-8, no newline).
[[nodiscard]] std::string InfoJsonLine(const std::string& file, const klink::VGMAnalysis& analysis);

// The nonzero header clocks as "YM2151 4000000 Hz, SN76489 3579545 Hz";
// empty when the header names none.
[[nodiscard]] std::string HeaderClocksText(const klink::VGMDisplay& display);

// A readable, aligned summary ending in a newline.
[[nodiscard]] std::string InfoText(const std::string& file, const klink::VGMAnalysis& analysis);

}  // namespace klinkplay
