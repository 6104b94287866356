// A VGM or VGZ file as `klinkplay info` and the playback thread open it: the
// whole analysis (gzip, header, GD3, loop, targets, clocks, OKIM6258 header,
// the KL2 checks), then the link budget walk on the chosen path and both
// reports. A bad file must end as one failure of the library's error kinds.

#include <exception>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/klinkplay/InfoReport.h"
#include "common/Errors.h"
#include "vgm/VGMAnalysis.h"
#include "vgm/VGMHeaderText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> lines;
    int headers = 0;
    klink::VGMAnalysisObserver observer;
    observer.headerRead = [&](const klink::VGMHeaderSummary& header) {
        (void)klink::FormatVGMHeader(header);
        ++headers;
    };
    observer.logLine = [&](const std::string& line) { lines.push_back(line); };

    const klink::VGMAnalysis analysis =
        klink::AnalyseVGMBytes(std::vector<uint8_t>(data, data + size), observer);

    FUZZ_CHECK(lines == analysis.log);
    FUZZ_CHECK(analysis.ok == (analysis.stage == klink::VGMAnalysisStage::kDone));
    FUZZ_CHECK(analysis.Reached(klink::VGMAnalysisStage::kHeaderSummarised) == analysis.header.has_value());
    FUZZ_CHECK(analysis.header.has_value() == (headers > 0));
    if (!analysis.ok) {
        FUZZ_CHECK(!analysis.error.empty());
        FUZZ_CHECK(analysis.failure != nullptr);
        try {
            std::rethrow_exception(analysis.failure);
        } catch (const klink::Error& e) {
            FUZZ_CHECK(analysis.error == e.what());
        }
        // Anything else escapes and counts as a crash.
    } else {
        (void)klink::PlaybackPathName(klink::PlaybackPathFor(analysis));
    }

    const klinkplay::InfoLink link = klinkplay::MeasureInfoLink(analysis);
    FUZZ_CHECK(!analysis.ok || link.load.has_value() || !link.error.empty());
    const std::string json = klinkplay::InfoJsonLine("fuzz.vgm", analysis, &link);
    FUZZ_CHECK(nlohmann::json::accept(json));
    (void)klinkplay::InfoText("fuzz.vgm", analysis, &link);
    return 0;
}
