#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/WindowRules.h"

namespace klink {
namespace {

// "x.x.." -> selected flags
std::vector<bool> Sel(const std::string& pattern) {
    std::vector<bool> s;
    for (char c : pattern) {
        s.push_back(c == 'x');
    }
    return s;
}

TEST(WindowRulesDrop, InsertionPoint) {
    struct Case {
        const char* selection;
        int32_t rowUnder;
        bool lowerHalf;
        std::optional<int32_t> point;
    };
    const Case cases[] = {
        {"x...", -1, false, 4},            // below the last row: the end
        {"x...", 2, false, 2},             // upper half: before the row
        {"x...", 2, true, 3},              // lower half: after it
        {"x...", 3, true, 4},              // after the last row
        {"x...", 0, false, std::nullopt},  // onto a selected row: nothing
        {".xx.", 2, true, std::nullopt},
        {"x...", 9, false, 4},  // a stale row index counts as none
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PlaylistInsertionPoint(Sel(c.selection), c.rowUnder, c.lowerHalf), c.point)
            << c.selection << " row " << c.rowUnder;
    }
}

TEST(WindowRulesDrop, MovesTheSelectedRowsAsOneBlockWithTheIndexes) {
    struct Case {
        const char* name;
        const char* selection;
        int32_t insertion;
        PlaylistIndexes before;
        int32_t focused;
        std::vector<int32_t> order;
        PlaylistIndexes after;
        int32_t focusedAfter;
    };
    const Case cases[] = {
        {"one row down", "x....", 3, {-1, -1, -1}, 0, {1, 2, 0, 3, 4}, {-1, -1, -1}, 2},
        {"one row to the end", "x....", 5, {-1, -1, -1}, 0, {1, 2, 3, 4, 0}, {-1, -1, -1}, 4},
        {"last row to the top", "....x", 0, {-1, -1, -1}, 4, {4, 0, 1, 2, 3}, {-1, -1, -1}, 0},
        {"scattered rows keep their order", "x.x.x", 4, {-1, -1, -1}, -1, {1, 3, 0, 2, 4}, {-1, -1, -1}, -1},
        {"playing row moves; next follows it", ".x...", 5, {1, 2, 1}, 1, {0, 2, 3, 4, 1}, {4, 5, 4}, 4},
        {"rows move around the playing row", "...xx", 0, {1, 2, 1}, -1, {3, 4, 0, 1, 2}, {3, 4, 3}, -1},
        {"last played row follows without playback",
         "x....",
         5,
         {-1, -1, 0},
         -1,
         {1, 2, 3, 4, 0},
         {-1, -1, 4},
         -1},
        {"next past the end stays past the end",
         "x....",
         2,
         {-1, 5, -1},
         -1,
         {1, 0, 2, 3, 4},
         {-1, 5, -1},
         -1},
        {"next inside follows its row", "x....", 5, {-1, 3, -1}, -1, {1, 2, 3, 4, 0}, {-1, 2, -1}, -1},
    };
    for (const Case& c : cases) {
        PlaylistMove m = MovePlaylistRows(Sel(c.selection), c.insertion, c.before, c.focused);
        EXPECT_EQ(m.order, c.order) << c.name;
        EXPECT_EQ(m.indexes, c.after) << c.name;
        EXPECT_EQ(m.focused, c.focusedAfter) << c.name;
    }
}

TEST(WindowRulesDelete, AdjustsTheIndexes) {
    struct Case {
        const char* name;
        const char* selection;
        PlaylistIndexes before;
        PlaylistIndexes after;
    };
    const Case cases[] = {
        {"rows above the playing row", "xx...", {3, 4, 3}, {1, 2, 1}},
        {"rows below the playing row", "...xx", {1, 2, 1}, {1, 2, 1}},
        {"the playing row itself", "..x..", {2, 3, 2}, {-1, 2, -1}},
        {"the next row", "...x.", {2, 3, 2}, {2, 3, 2}},
        {"the row before next when nothing plays", "x....", {-1, 3, 2}, {-1, 2, 1}},
        {"everything", "xxxxx", {2, 3, 2}, {-1, 0, -1}},
        {"nothing selected", ".....", {2, 3, 2}, {2, 3, 2}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DeletePlaylistRows(Sel(c.selection), c.before), c.after) << c.name;
    }
}

TEST(WindowRules, TimeText) {
    struct Case {
        int32_t ms;
        const char* text;
    };
    const Case cases[] = {
        {0, "00:00.00"},      {9, "00:00.00"},         {10, "00:00.01"},         {999, "00:00.99"},
        {61'230, "01:01.23"}, {3'599'990, "59:59.99"}, {6'000'000, "100:00.00"}, {INT32_MAX, "35791:23.64"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatPlaybackTime(c.ms), c.text) << c.ms;
    }
}

TEST(WindowRules, RepeatCount) {
    const int32_t expected[] = {1, 1, 2, 3, 4, 5, 0, 1};  // indexes -1..6
    for (int32_t index = -1; index <= 6; ++index) {
        EXPECT_EQ(RepeatCountForIndex(index), expected[index + 1]) << index;
    }
}

TEST(WindowRules, ClampWindowBounds) {
    const Rect work{0, 0, 1920, 1040};
    struct Case {
        const char* name;
        Rect saved;
        Rect work;
        Rect result;
    };
    const Case cases[] = {
        {"fits", {100, 50, 1109, 900}, work, {100, 50, 1109, 900}},
        {"larger than the area shrinks to it", {0, 0, 3000, 2000}, work, {0, 0, 1920, 1040}},
        {"never below the minimum", {10, 10, 500, 400}, work, {10, 10, 1109, 850}},
        {"minimum wins over a small area", {0, 0, 1109, 850}, {0, 0, 1024, 768}, {0, 0, 1109, 850}},
        {"off the right and bottom moves in", {1500, 900, 1109, 850}, work, {811, 190, 1109, 850}},
        {"off the left and top moves in", {-300, -50, 1109, 850}, work, {0, 0, 1109, 850}},
        {"left and top win when too big", {500, 500, 1109, 850}, {100, 100, 800, 600}, {100, 100, 1109, 850}},
        {"second monitor", {2000, 100, 1109, 900}, {1920, 0, 1280, 984}, {2000, 84, 1109, 900}},
        {"extreme values", {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MAX}, work, {0, 0, 1920, 1040}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClampWindowBounds(c.saved, c.work, 1109, 850), c.result) << c.name;
    }
}

// The frame (here an 8 px border and a 30 px title bar) is what must stay
// inside the work area; the result is still the client rectangle.
TEST(WindowRules, ClampWindowFrame) {
    const Rect work{0, 0, 1920, 1040};
    const FrameMargins frame{8, 30, 8, 8};
    struct Case {
        const char* name;
        Rect client;
        Rect result;
    };
    const Case cases[] = {
        {"fits with its frame", {100, 80, 1109, 900}, {100, 80, 1109, 900}},
        {"title bar above the top moves down", {100, 0, 1109, 900}, {100, 30, 1109, 900}},
        {"border past the left moves right", {0, 100, 1109, 900}, {8, 100, 1109, 900}},
        {"bottom edge below the area moves up", {100, 140, 1109, 900}, {100, 132, 1109, 900}},
        {"right edge past the area moves left", {811, 100, 1109, 900}, {803, 100, 1109, 900}},
        {"too tall with its frame shrinks by the frame", {0, 0, 1109, 1040}, {8, 30, 1109, 1002}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClampWindowFrame(c.client, frame, work, 1109, 850), c.result) << c.name;
    }
    // No frame: the same as the client clamp.
    EXPECT_EQ(ClampWindowFrame({1500, 900, 1109, 850}, {}, work, 1109, 850),
              ClampWindowBounds({1500, 900, 1109, 850}, work, 1109, 850));
    // The minimum is the client's: a small area keeps the title bar on it.
    EXPECT_EQ(ClampWindowFrame({0, 0, 1109, 850}, frame, {0, 0, 800, 600}, 1109, 850),
              (Rect{8, 30, 1109, 850}));
}

// Sample counts at 44100 per second: 441000 = 10 s, 220500 = 5 s.
TEST(WindowRules, TrackLength) {
    struct Case {
        const char* name;
        uint32_t total;
        uint32_t loopOffset;
        uint32_t loopSamples;
        int32_t repeat;
        int32_t fade;
        std::optional<int64_t> ms;
    };
    const Case cases[] = {
        {"no loop: the total, no fade", 441000, 0, 0, 3, 10, 10000},
        {"loop offset without loop samples", 441000, 0x40, 0, 2, 10, 10000},
        {"one pass and a fade", 441000, 0x40, 220500, 1, 10, 20000},
        {"one pass, no fade", 441000, 0x40, 220500, 1, 0, 10000},
        {"three passes and a fade", 441000, 0x40, 220500, 3, 5, 25000},
        {"endless", 441000, 0x40, 220500, 0, 10, std::nullopt},
        {"endless without a loop ends", 441000, 0, 0, 0, 10, 10000},
        {"largest counts", UINT32_MAX, 0x40, UINT32_MAX, 5, 15,
         int64_t{UINT32_MAX} * 5 * 1000 / 44100 + 15000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TrackLengthMs(c.total, c.loopOffset, c.loopSamples, c.repeat, c.fade), c.ms) << c.name;
    }
    EXPECT_EQ(FormatTrackLength(83450), "/ 01:23.45");
    EXPECT_EQ(FormatTrackLength(std::nullopt), "/ \u221E");
    EXPECT_EQ(PositionSamples(1500), 66150);
    EXPECT_EQ(PositionSamples(-5), 0);
}

TEST(WindowRules, CopyPathsJoinWithCRLFAndSkipEmpty) {
    EXPECT_EQ(JoinPlaylistPaths({"/a.vgm", "", "/b.vgz"}), "/a.vgm\r\n/b.vgz");
    EXPECT_EQ(JoinPlaylistPaths({"", ""}), "");
    EXPECT_EQ(JoinPlaylistPaths({}), "");
}

TEST(WindowRules, PlayableExtensions) {
    for (const char* p : {"a.vgm", "A.VGZ", "/x/y.VgM", ".vgz"}) {
        EXPECT_TRUE(HasPlayableExtension(p)) << p;
    }
    for (const char* p : {"a.vgm.bak", "a.wav", "vgm", "a.vg", "", "a.vgm "}) {
        EXPECT_FALSE(HasPlayableExtension(p)) << p;
    }
}

TEST(WindowRules, SingleLineText) { EXPECT_EQ(SingleLineText("a\r\nb\nc\rd"), "a  b c d"); }

TEST(WindowRules, PortChoice) {
    const std::vector<std::string> items = {"COM3", "sim-keltra4-1", "ttyUSB0"};
    EXPECT_EQ(ChoosePortItem(items, "SIM-KELTRA4-1"), 1);
    EXPECT_EQ(ChoosePortItem(items, "ttyUSB0"), 2);
    EXPECT_EQ(ChoosePortItem(items, "COM9"), 0);  // absent: the first item
    EXPECT_EQ(ChoosePortItem(items, ""), 0);
    EXPECT_EQ(ChoosePortItem({}, "COM3"), -1);
}

}  // namespace
}  // namespace klink
