// klinkplay probe against the simulated boards: the identity line and the
// capability table each built-in board reports.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "SimBoard.h"
#include "app/klinkplay/ProbeCommand.h"
#include "protocol/KLINKCapabilities.h"

namespace {

using namespace klink;
using sim::SimBoard;

TEST(ProbeCommand, PrintsTheSimulatedBoards) {
    for (const std::string model : {"Keltra 4", "Keltra 2.1"}) {
        SCOPED_TRACE(model);
        auto board = SimBoard::Start(model);
        std::ostringstream out;
        std::ostringstream err;
        ASSERT_TRUE(klinkplay::ProbePort(board->PortPath(), out, err)) << err.str();
        EXPECT_EQ(err.str(), "");
        const std::string text = out.str();
        EXPECT_EQ(text.rfind(board->PortPath() + ": " + model + " / Firmware ", 0), 0u) << text;
        KLINKCapabilities expected;
        for (const auto& page : board->Profile().pages) {
            expected.AddPage(page.offset, EncodeCapabilityPage(page.page));
        }
        std::string lines;
        std::istringstream describe(expected.Describe());
        for (std::string line; std::getline(describe, line);) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines += "  " + line + "\n";
        }
        EXPECT_EQ(text.substr(text.find('\n') + 1), lines);
    }
}

}  // namespace
