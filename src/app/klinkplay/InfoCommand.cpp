#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

#include "app/klinkplay/Commands.h"

namespace klinkplay {

void AddInfoCommand(CLI::App& app, int& exitStatus) {
    auto* cmd = app.add_subcommand("info", "Show what a VGM/VGZ file holds and how it would play");
    auto files = std::make_shared<std::vector<std::string>>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("FILE", *files, "VGM or VGZ files")->required();
    cmd->add_flag("--json", *json, "One JSON object per file, one per line");
    cmd->callback([files, json, &exitStatus] {
        for (const auto& f : *files) {
            std::cout << f << '\n';
        }
        exitStatus = 0;
    });
}

}  // namespace klinkplay
