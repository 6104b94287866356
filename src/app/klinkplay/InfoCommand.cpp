#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/klinkplay/Commands.h"
#include "app/klinkplay/InfoReport.h"
#include "platform/PathText.h"
#include "vgm/VGMAnalysis.h"

namespace klinkplay {

void AddInfoCommand(CLI::App& app, int& exitStatus) {
    auto* cmd = app.add_subcommand("info", "Show what a VGM/VGZ file holds and how it would play");
    auto files = std::make_shared<std::vector<std::string>>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("FILE", *files, "VGM or VGZ files")->required();
    cmd->add_flag("--json", *json, "One JSON object per file, one per line");
    cmd->callback([files, json, &exitStatus] {
        bool allOk = true;
        bool first = true;
        for (const auto& file : *files) {
            const klink::VGMAnalysis analysis = klink::AnalyseVGMFile(klink::platform::PathFromUtf8(file));
            allOk = allOk && analysis.ok;
            const InfoLink link = MeasureInfoLink(analysis);
            if (*json) {
                std::cout << InfoJsonLine(file, analysis, &link) << '\n';
            } else {
                if (!first) std::cout << '\n';
                std::cout << InfoText(file, analysis, &link);
            }
            first = false;
        }
        std::cout.flush();
        exitStatus = allOk ? 0 : 1;
    });
}

}  // namespace klinkplay
