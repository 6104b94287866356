#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "ExpectError.h"
#include "common/Errors.h"
#include "protocol/KLINKReceiveWindow.h"

namespace {

using klink::KLINKReceiveWindow;
using klink::test::ExpectError;

KLINKReceiveWindow ActiveWith(uint64_t submitted, uint64_t confirmed) {
    KLINKReceiveWindow w;
    w.BeginTransfer();
    w.submitted = submitted;
    w.confirmed = confirmed;
    return w;
}

TEST(KLINKReceiveWindow, DataAndControlLimitsAtTheirEdges) {
    struct Case {
        uint64_t inFlight;
        int32_t packet;
        bool control;
        bool fits;
    };
    const Case cases[] = {
        {4000, 96, false, true},   {4000, 97, false, false}, {4000, 2144, true, true},
        {4000, 2145, true, false}, {5000, 0, false, false},  {5000, 1144, true, true},
        {5000, 1145, true, false}, {0, 4096, false, true},   {0, 4097, false, false},
        {0, 6144, true, true},     {4096, 0, false, true},   {4097, 0, false, false},
        {6144, 0, true, true},     {6145, 0, true, false},   {6144, 1, true, false},
    };
    for (const auto& c : cases) {
        // Offset both counters so that only their difference matters.
        const auto w = ActiveWith(1000000 + c.inFlight, 1000000);
        EXPECT_EQ(w.CanSubmit(c.packet, c.control), c.fits)
            << c.inFlight << " in flight, " << c.packet << (c.control ? " control" : " data");
    }
}

TEST(KLINKReceiveWindow, AvailableCountsDataBytesLeft) {
    EXPECT_EQ(ActiveWith(4000, 0).Available(), 96);
    EXPECT_EQ(ActiveWith(0, 0).Available(), 4096);
    EXPECT_EQ(ActiveWith(4095, 0).Available(), 1);
    EXPECT_EQ(ActiveWith(4096, 0).Available(), 0);
    EXPECT_EQ(ActiveWith(5000, 0).Available(), 0);
    EXPECT_EQ(ActiveWith(7000, 3000).Available(), 96);
}

TEST(KLINKReceiveWindow, HugeBacklogDoesNotWrapAround) {
    // 2^32 + 100 bytes in flight must not look like 100.
    const uint64_t big = (uint64_t{1} << 32) + 100;
    const auto w = ActiveWith(big, 0);
    EXPECT_EQ(w.InFlight(), big);
    EXPECT_EQ(w.Available(), 0);
    EXPECT_FALSE(w.CanSubmit(0, true));
    EXPECT_FALSE(w.CanSubmit(0, false));

    // Counters near the top of their range still give the right difference.
    const uint64_t top = std::numeric_limits<uint64_t>::max();
    const auto high = ActiveWith(top - 10, top - 4010);
    EXPECT_EQ(high.InFlight(), 4000u);
    EXPECT_EQ(high.Available(), 96);
    EXPECT_TRUE(high.CanSubmit(96, false));
    EXPECT_FALSE(high.CanSubmit(97, false));
}

TEST(KLINKReceiveWindow, InactiveWindowAcceptsEveryValidSize) {
    KLINKReceiveWindow w;
    EXPECT_EQ(w.Available(), 2147483647);
    for (int32_t size : {0, 1, 4096, 4097, 6144}) {
        EXPECT_TRUE(w.CanSubmit(size, false)) << size;
        w.Submitted(size, false);
    }
    EXPECT_EQ(w.submitted, 0u);  // nothing is counted while inactive
    w.Confirm(12345);            // and nothing is checked
    EXPECT_EQ(w.confirmed, 0u);
}

TEST(KLINKReceiveWindow, BadSizesAreRefusedActiveOrNot) {
    for (bool active : {false, true}) {
        for (int32_t size : {-1, 6145, INT32_MIN, INT32_MAX}) {
            KLINKReceiveWindow w;
            if (active) w.BeginTransfer();
            ExpectError<klink::ArgumentOutOfRange>([&] { (void)w.CanSubmit(size, true); },
                                                   "Invalid KLINK receive-window packet size.");
            ExpectError<klink::ArgumentOutOfRange>([&] { w.Submitted(size, false); },
                                                   "Invalid KLINK receive-window packet size.");
            EXPECT_EQ(w.submitted, 0u);
        }
    }
}

TEST(KLINKReceiveWindow, SubmittingBeyondTheWindowFailsAndChangesNothing) {
    auto w = ActiveWith(4000, 0);
    ExpectError<klink::WriteError>([&] { w.Submitted(97, false); }, "KLINK receive window exceeded.");
    EXPECT_EQ(w.submitted, 4000u);
    w.Submitted(2144, true);
    EXPECT_EQ(w.submitted, 6144u);
    ExpectError<klink::WriteError>([&] { w.Submitted(1, true); }, "KLINK receive window exceeded.");
    EXPECT_EQ(w.submitted, 6144u);
    w.Submitted(0, true);  // an empty packet still fits exactly at the limit
    EXPECT_EQ(w.submitted, 6144u);
}

TEST(KLINKReceiveWindow, ConfirmOnlyMovesForwardAndNeverBeyondSubmitted) {
    auto w = ActiveWith(5000, 0);
    w.Confirm(3000);
    EXPECT_EQ(w.confirmed, 3000u);
    EXPECT_EQ(w.InFlight(), 2000u);
    w.Confirm(1000);  // an older fence: a reply to an earlier request
    EXPECT_EQ(w.confirmed, 3000u);
    w.Confirm(5000);
    EXPECT_EQ(w.InFlight(), 0u);
    ExpectError<klink::ReadError>([&] { w.Confirm(5001); }, "Invalid KLINK receive acknowledgment.");
    EXPECT_EQ(w.confirmed, 5000u);
    EXPECT_EQ(w.submitted, 5000u);
}

TEST(KLINKReceiveWindow, StreamingCycleOfSubmitAndConfirm) {
    KLINKReceiveWindow w;
    w.BeginTransfer();
    uint64_t fence = 0;
    for (int round = 0; round < 100; ++round) {
        while (w.CanSubmit(271, false)) w.Submitted(271, false);
        EXPECT_EQ(w.InFlight(), 15u * 271u);  // 4065 bytes, 31 short of the window
        EXPECT_EQ(w.Available(), 31);
        fence = w.submitted;  // a STATUS request sent now confirms all of it
        w.Confirm(fence);
        EXPECT_EQ(w.Available(), 4096);
    }
    EXPECT_EQ(w.submitted, 100u * 15u * 271u);
}

TEST(KLINKReceiveWindow, BeginAndFinishTransfer) {
    auto w = ActiveWith(5000, 4000);
    w.FinishTransfer();
    EXPECT_FALSE(w.active);
    EXPECT_EQ(w.submitted, 5000u);  // the counters stay
    EXPECT_EQ(w.confirmed, 4000u);
    EXPECT_EQ(w.Available(), 2147483647);
    w.BeginTransfer();
    EXPECT_TRUE(w.active);
    EXPECT_EQ(w.submitted, 0u);
    EXPECT_EQ(w.confirmed, 0u);
    EXPECT_EQ(w.Available(), 4096);
}

}  // namespace
