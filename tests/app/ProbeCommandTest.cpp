// klinkplay probe against scripted boards: what a user sees for a board that
// answers and for one that does not.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ScriptedBoard.h"
#include "app/klinkplay/ProbeCommand.h"

namespace {

using namespace klink;
using klink::test::Bytes;
using klink::test::ReplyTo;
using klink::test::ScriptedBoard;

TEST(ProbeCommand, PrintsTheIdentityAndTheCapabilityTable) {
    ScriptedBoard board(false);
    board.SetDeviceInfo(klink::test::DeviceInfoData("Keltra 4", "4.2"));
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_TRUE(klinkplay::ProbePort(board.DevicePath(), out, err)) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(out.str(), board.DevicePath() +
                             ": Keltra 4 / Firmware 4.2\n"
                             "  YM2151 / instance=0 / page=0 / clock=variable\n"
                             "  YM2413 / instance=0 / page=0 / clock=fixed 3579545 Hz\n"
                             "  AY-3-8910 / instance=0 / page=0 / clock=variable\n"
                             "  Write $50 / instance=0 / page=0 / clock=fixed 3579545 Hz\n"
                             "  OKIM6258 / instance=0 / page=0 / clock=variable\n"
                             "  YM3812 / instance=0 / page=0 / clock=unknown\n");
    // The probe asked the questions in the window's order and nothing else.
    const auto frames = board.Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].opcode, Opcode::kPing);
    EXPECT_EQ(frames[1].opcode, Opcode::kDeviceInfo);
    EXPECT_EQ(frames[2].opcode, Opcode::kCapabilities);
    EXPECT_EQ(frames[3].opcode, Opcode::kCapabilities);
}

TEST(ProbeCommand, NamesThePortInEachFailure) {
    ScriptedBoard board(false);
    board.SetScript([](const KLINKFrame& f) { return ReplyTo(f, Bytes{0, 'n', 'o'}); });
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_FALSE(klinkplay::ProbePort(board.DevicePath(), out, err));
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), board.DevicePath() + ": KLINK PING echo mismatch.\n");

    // A board that answers PING but sends a broken table.
    board.SetScript({});
    auto pages = klink::test::DefaultCapabilityPages();
    pages[0].maxPayload = pages[1].maxPayload = 128;
    board.SetPages(pages);
    err.str("");
    EXPECT_FALSE(klinkplay::ProbePort(board.DevicePath(), out, err));
    EXPECT_EQ(err.str(), board.DevicePath() + ": This playback profile requires 256-byte KLINK payloads.\n");

    err.str("");
    EXPECT_FALSE(klinkplay::ProbePort("/nonexistent/ttyKL0", out, err));
    EXPECT_EQ(err.str(), "/nonexistent/ttyKL0: Error connecting. Reason: No such file or directory\n");
}

}  // namespace
