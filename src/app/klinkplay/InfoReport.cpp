#include "app/klinkplay/InfoReport.h"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <exception>
#include <string_view>

#include "vgm/GD3Text.h"
#include "vgm/VGMChips.h"

namespace klinkplay {

using klink::VGMAnalysis;
using klink::VGMAnalysisStage;
using klink::VGMHeaderField;
using klink::VGMHeaderTexts;

namespace {

std::string_view ChipName(uint8_t writeId) {
    const std::string_view name = klink::VGMChipName(writeId);
    return name.empty() ? "chip" : name;
}

constexpr std::array<std::string_view, klink::kGD3StringCount> kGD3Labels = {
    "Track",  "Track (ja)",  "Game",         "Game (ja)", "System", "System (ja)",
    "Author", "Author (ja)", "Release date", "Converter", "Notes",
};

// One "label  value" row; continuation lines of a multi-line value are indented.
void Row(std::string& out, std::string_view label, std::string_view value) {
    constexpr size_t kLabelWidth = 16;
    out += fmt::format("  {:<{}}", label, kLabelWidth);
    size_t start = 0;
    bool first = true;
    while (start <= value.size()) {
        size_t end = value.find('\n', start);
        if (end == std::string_view::npos) end = value.size();
        std::string_view line = value.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!first) out += std::string(2 + kLabelWidth, ' ');
        out += line;
        out += '\n';
        first = false;
        start = end + 1;
    }
}

// Empty texts until the header was read.
VGMHeaderTexts HeaderTexts(const VGMAnalysis& a) {
    return a.header ? klink::FormatVGMHeader(*a.header) : VGMHeaderTexts{};
}

}  // namespace

InfoLink MeasureInfoLink(const VGMAnalysis& analysis) {
    InfoLink link;
    if (!analysis.ok) return link;
    try {
        link.load = klink::MeasureLinkLoad(analysis);
    } catch (const std::exception& e) {
        link.error = e.what();
    }
    return link;
}

std::string LinkText(const InfoLink& link) {
    if (!link.load) return link.error;
    const klink::LinkLoad& l = *link.load;
    const uint64_t percent = l.peakBytes * 100 / klink::platform::kUartLineBytesPerSecond;
    return fmt::format("{} bytes/s on average, {} at the busiest second (from {}); {}",
                       l.AverageBytesPerSecond(), l.peakBytes, klink::FormatTrackTime(l.peakStartUs),
                       l.FitsUart() ? fmt::format("a 115200-baud UART carries it ({} %)", percent)
                                    : fmt::format("needs USB: {} % of a 115200-baud UART", percent));
}

nlohmann::ordered_json InfoJson(const std::string& file, const VGMAnalysis& a, const InfoLink* link) {
    using json = nlohmann::ordered_json;
    json j = json::object();
    j["file"] = file;
    j["ok"] = a.ok;
    if (!a.ok) j["error"] = a.error;

    json header = json::object();
    const VGMHeaderTexts texts = HeaderTexts(a);
    for (VGMHeaderField field : klink::AllVGMHeaderFields()) {
        header[std::string(klink::VGMHeaderFieldName(field))] = texts[field];
    }
    j["header"] = std::move(header);

    json gd3 = json::array();
    if (a.Reached(VGMAnalysisStage::kHeaderRead)) {
        for (const auto& s : a.gd3) gd3.push_back(klink::UTF16ToUTF8(s));
    }
    j["gd3"] = std::move(gd3);
    j["log"] = a.log;

    if (a.Reached(VGMAnalysisStage::kTargetsCollected)) {
        json targets = json::array();
        for (const auto& t : a.registerTargets) targets.push_back({t.writeId, t.instance, t.page});
        json clocks = json::array();
        for (const auto& c : a.registerClocks) clocks.push_back({c.writeId, c.instance, c.hertz});
        j["targets"] = std::move(targets);
        j["clocks"] = std::move(clocks);
    }
    if (a.Reached(VGMAnalysisStage::kOKIHeaderRead)) {
        j["okiClock"] = a.okiClock;
        j["okiDivider"] = a.okiDivider;
    }
    if (a.Reached(VGMAnalysisStage::kKL2RegistersKnown)) j["hasKl2Registers"] = a.hasKl2Registers;
    if (a.Reached(VGMAnalysisStage::kKL2DACKnown)) j["usesKl2Dac"] = a.useKl2Dac;
    if (a.ok) j["path"] = std::string(klink::PlaybackPathName(klink::PlaybackPathFor(a)));
    if (link != nullptr && link->load) {
        const klink::LinkLoad& l = *link->load;
        const double seconds = static_cast<double>(l.durationUs) / 1e6;
        j["link"] = {
            {"bytes", l.toBoardBytes},
            {"seconds", std::round(seconds * 1000.0) / 1000.0},
            {"averageBytesPerSecond", l.AverageBytesPerSecond()},
            {"peakBytesPerSecond", l.peakBytes},
            {"peakStartUs", l.peakStartUs},
            {"peakAt", klink::FormatTrackTime(l.peakStartUs)},
            {"fromBoardBytesPerSecond", l.durationUs == 0 ? 0 : l.fromBoardBytes * 1'000'000 / l.durationUs},
            {"uartPercent", l.peakBytes * 100 / klink::platform::kUartLineBytesPerSecond},
            {"fitsUart", l.FitsUart()},
        };
    } else if (link != nullptr && !link->error.empty()) {
        j["link"] = {{"error", link->error}};
    }
    return j;
}

std::string InfoJsonLine(const std::string& file, const VGMAnalysis& analysis, const InfoLink* link) {
    // A path given on the command line need not be UTF-8; never fail on it.
    return InfoJson(file, analysis, link)
        .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string HeaderClocksText(const VGMHeaderTexts& d) {
    using F = VGMHeaderField;
    static constexpr std::array<std::pair<F, std::string_view>, 10> kClockLabels = {{
        {F::kYM2151Clock, "YM2151"},
        {F::kYM2612Clock, "YM2612"},
        {F::kOKIM6258Clock, "OKIM6258"},
        {F::kSN76489Clock, "SN76489"},
        {F::kSN76489SecondClock, "SN76489 #2"},
        {F::kYM2203Clock, "YM2203"},
        {F::kAY8910Clock, "AY8910"},
        {F::kYM3812Clock, "YM3812"},
        {F::kYM3526Clock, "YM3526"},
        {F::kYM2608Clock, "YM2608"},
    }};
    std::string clocks;
    for (const auto& [field, name] : kClockLabels) {
        const std::string& text = d[field];
        if (text.empty() || text == "0") continue;
        clocks += fmt::format("{}{} {} Hz", clocks.empty() ? "" : ", ", name, text);
    }
    return clocks;
}

std::string InfoText(const std::string& file, const VGMAnalysis& a, const InfoLink* link) {
    using F = VGMHeaderField;
    std::string out = file + '\n';

    if (a.header) {
        const VGMHeaderTexts d = klink::FormatVGMHeader(*a.header);
        Row(out, "File size", d[F::kFileSize]);
        Row(out, "Version", d[F::kVersion]);
        Row(out, "Offsets",
            fmt::format("EOF {}  data {}  loop {}  GD3 {}", d[F::kEofOffset], d[F::kDataOffset],
                        d[F::kLoopOffset], d[F::kGD3Offset]));
        Row(out, "Samples", fmt::format("total {}  loop {}", d[F::kTotalSamples], d[F::kLoopSamples]));
        const std::string clocks = HeaderClocksText(d);
        Row(out, "Header clocks", clocks.empty() ? "none" : clocks);
    }
    if (a.Reached(VGMAnalysisStage::kHeaderRead)) {
        for (size_t i = 0; i < klink::kGD3StringCount; ++i) {
            if (!a.gd3[i].empty()) Row(out, kGD3Labels[i], klink::UTF16ToUTF8(a.gd3[i]));
        }
    }
    if (a.Reached(VGMAnalysisStage::kTargetsCollected)) {
        std::string targets;
        for (const auto& t : a.registerTargets) {
            targets += fmt::format("{}{} #{}{} (${:02X})", targets.empty() ? "" : ", ", ChipName(t.writeId),
                                   t.instance, t.page != 0 ? " port 1" : "", t.writeId);
        }
        Row(out, "Targets", targets.empty() ? "none" : targets);
        std::string clocks;
        for (const auto& c : a.registerClocks) {
            clocks += fmt::format("{}{} #{} {} Hz", clocks.empty() ? "" : ", ", ChipName(c.writeId),
                                  c.instance, c.hertz);
        }
        Row(out, "Clocks", clocks.empty() ? "none" : clocks);
    }
    if (a.Reached(VGMAnalysisStage::kOKIHeaderRead)) {
        Row(out, "OKIM6258",
            a.okiClock == 0 ? std::string("unused")
                            : fmt::format("{} Hz, divider {}", a.okiClock, a.okiDivider));
    }
    for (const auto& line : a.log) Row(out, "Log", line);
    if (a.ok) {
        Row(out, "Playback path", klink::PlaybackPathName(klink::PlaybackPathFor(a)));
        if (link != nullptr && (link->load || !link->error.empty())) Row(out, "Link", LinkText(*link));
    } else {
        Row(out, "Error", a.error);
    }
    return out;
}

}  // namespace klinkplay
