#include <gtest/gtest.h>

#include <cstdint>

#include "ExpectError.h"
#include "common/Errors.h"
#include "protocol/KLINKStartupWindow.h"

namespace {

using klink::KLINKStartupWindow;
using klink::test::ExpectError;

KLINKStartupWindow ActiveWith(int32_t pending) {
    KLINKStartupWindow w;
    w.BeginTransfer();
    w.Submitted(pending);
    return w;
}

TEST(KLINKStartupWindow, FenceIsNeededOnlyBeyond2048PendingBytes) {
    struct Case {
        int32_t pending, packet;
        bool fence;
    };
    const Case cases[] = {{2000, 48, false}, {2000, 49, true}, {0, 2048, false}, {0, 0, false},
                          {2048, 0, false},  {2048, 1, true},  {1, 2048, true}};
    for (const auto& c : cases) {
        const auto w = ActiveWith(c.pending);
        EXPECT_EQ(w.NeedsFence(c.packet), c.fence) << c.pending << " + " << c.packet;
    }
}

TEST(KLINKStartupWindow, InactiveWindowNeverAsksForAFenceButChecksTheSize) {
    KLINKStartupWindow w;
    EXPECT_FALSE(w.NeedsFence(2048));
    for (int i = 0; i < 10; ++i) w.Submitted(2048);
    EXPECT_EQ(w.pending, 0);  // nothing is counted while inactive
    ExpectError<klink::ArgumentOutOfRange>([&] { (void)w.NeedsFence(2049); },
                                           "Invalid KLINK startup packet size.");
    ExpectError<klink::ArgumentOutOfRange>([&] { w.Submitted(-1); }, "Invalid KLINK startup packet size.");
}

TEST(KLINKStartupWindow, BadSizesAreRefusedWhateverThePendingCount) {
    for (int32_t size : {-1, 2049, INT32_MIN, INT32_MAX}) {
        auto w = ActiveWith(100);
        ExpectError<klink::ArgumentOutOfRange>([&] { (void)w.NeedsFence(size); },
                                               "Invalid KLINK startup packet size.");
        ExpectError<klink::ArgumentOutOfRange>([&] { w.Submitted(size); },
                                               "Invalid KLINK startup packet size.");
        EXPECT_EQ(w.pending, 100);
        EXPECT_TRUE(w.active);
    }
}

TEST(KLINKStartupWindow, SubmittingWithoutTheFenceFailsAndChangesNothing) {
    auto w = ActiveWith(2000);
    ExpectError<klink::WriteError>([&] { w.Submitted(49); }, "KLINK startup acknowledgment window exceeded.");
    EXPECT_EQ(w.pending, 2000);
    w.Submitted(48);
    EXPECT_EQ(w.pending, 2048);
}

TEST(KLINKStartupWindow, FenceAndFinishResetThePendingCount) {
    auto w = ActiveWith(1500);
    w.FenceCompleted();
    EXPECT_EQ(w.pending, 0);
    EXPECT_TRUE(w.active);
    w.Submitted(2048);
    w.FinishTransfer();
    EXPECT_FALSE(w.active);
    EXPECT_EQ(w.pending, 0);
    w.BeginTransfer();
    EXPECT_TRUE(w.active);
    EXPECT_EQ(w.pending, 0);
}

}  // namespace
