// The KL2 DAC status poller against a scripted board, on a counter that moves
// only when the test says: the cleared check, counters that go backwards,
// and when an unanswered request is repeated and given up.
#include <gtest/gtest.h>

#include <atomic>

#include "ExpectError.h"
#include "PlayerTestSupport.h"
#include "ScriptedBoard.h"
#include "SimKL2DAC.h"
#include "common/Errors.h"
#include "player/KL2DACStatusPoller.h"

namespace klink::test {
namespace {

// A board that answers the first `answered` DAC_STATUS requests with the
// statuses handed to it, in turn (the last one again when they run out),
// and then no more.
class StatusBoard {
public:
    explicit StatusBoard(std::vector<KL2DACStatus> statuses, int answered = 1000)
        : statuses_(std::move(statuses)), answered_(answered) {
        board_.SetScript([this](const KLINKFrame& f) -> Bytes {
            if (f.opcode != Opcode::kDACStatus) return board_.DefaultAnswer(f);
            const int n = requests_++;
            if (n >= answered_) return {};
            const KL2DACStatus& s = statuses_[std::min<size_t>(static_cast<size_t>(n), statuses_.size() - 1)];
            return ReplyTo(f, WithStatus(0, sim::SimKL2DAC::EncodeStatus(s)));
        });
    }
    // The script reads the members below, which go before the board's thread
    // ends: it is taken away first (the board runs it under its lock).
    ~StatusBoard() { board_.SetScript(nullptr); }
    StatusBoard(const StatusBoard&) = delete;
    StatusBoard& operator=(const StatusBoard&) = delete;

    // Waits until the board has seen `count` requests.
    bool WaitRequests(int count) {
        for (int i = 0; i < 2500 && requests_ < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return requests_ >= count;
    }
    // Requests the host has sent (the link counts them as it queues them).
    [[nodiscard]] int Sent() const { return static_cast<uint16_t>(connection.Link().RequestID() - firstId_); }
    // Waits until a reply waits in the host's input.
    bool WaitForReplyBytes() {
        for (int i = 0; i < 2500; ++i) {
            if (platform::QuerySerialQueues(board_.Port()).input > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    ScriptedBoard board_;
    KLINKConnection connection{board_.Port()};
    const uint16_t firstId_ = connection.Link().RequestID();

private:
    std::vector<KL2DACStatus> statuses_;
    int answered_;
    std::atomic<int> requests_{0};
};

// Polls at fake time `ms` until the reply to every request the board has
// answered has been taken (the board answers on a thread of its own).
bool PollUntilFresh(KL2DACStatusPoller& poller, FakePlaybackClock& clock, int64_t ms) {
    clock.now = ms * 1000;
    for (int i = 0; i < 2500; ++i) {
        if (poller.Poll(0)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

TEST(KL2DACStatusPoller, TheClearedCheckLooksAtStateFaultRecordsAndQueuedEvents) {
    struct Case {
        const char* name;
        KL2DACStatus status;
        bool cleared;
    };
    KL2DACStatus played;
    played.playedTick = 300;  // a position alone does not count
    played.acceptedTick = 300;
    KL2DACStatus eventQueued;
    eventQueued.eventQueued = 1;
    KL2DACStatus playing;
    playing.state = KL2DACState::kPlaying;
    KL2DACStatus consumed;
    consumed.accepted = 2;
    consumed.consumed = 2;
    for (const Case& c :
         {Case{"zero", {}, true}, Case{"played tick", played, true}, Case{"queued event", eventQueued, false},
          Case{"state 1", playing, false}, Case{"records", consumed, false}}) {
        SCOPED_TRACE(c.name);
        StatusBoard board({c.status});
        const PlaybackClock playbackClock = PlaybackClock::System();
        KL2DACStatusPoller poller(board.connection, playbackClock);
        if (c.cleared) {
            poller.ReadClearedStatus({});
        } else {
            ExpectError<ReadError>([&] { poller.ReadClearedStatus({}); },
                                   "KL2 DAC was not cleared by RESET.");
        }
    }
}

TEST(KL2DACStatusPoller, AnEventCounterThatGoesDownFailsAlthoughTheOthersGrew) {
    KL2DACStatus first;
    first.state = KL2DACState::kPlaying;
    first.accepted = 10;
    first.consumed = 4;
    first.queued = 6;
    first.eventConsumed = 5;
    first.acceptedTick = 500;
    KL2DACStatus second = first;
    second.accepted = 20;
    second.consumed = 8;
    second.queued = 12;
    second.eventConsumed = 4;
    StatusBoard board({first, second});
    FakePlaybackClock clock;
    clock.step = 0;
    const PlaybackClock playbackClock = clock.Clock();
    KL2DACStatusPoller poller(board.connection, playbackClock);
    poller.Started(clock.now);
    EXPECT_FALSE(poller.Poll(0));  // sends the first request 5 ms on
    clock.now = 5000;
    EXPECT_FALSE(poller.Poll(0));
    ASSERT_TRUE(PollUntilFresh(poller, clock, 6));
    EXPECT_EQ(poller.Status().eventConsumed, 5u);
    clock.now = 11000;
    EXPECT_FALSE(poller.Poll(0));
    ASSERT_TRUE(board.WaitRequests(2));
    ExpectError<ReadError>([&] { (void)PollUntilFresh(poller, clock, 12); }, "KL2 status moved backwards.");
}

// Unanswered requests: the first repeat after 20 ms (the round trips so far
// were quick), then 40, 80 and 160 ms; 500 ms after the last good status the
// poller gives up. After a reply that took 100 ms, the first repeat waits
// three such round trips.
TEST(KL2DACStatusPoller, RepeatsAnUnansweredRequestLessAndLessOftenAndGivesUpAfter500Ms) {
    for (const bool slowReply : {false, true}) {
        SCOPED_TRACE(slowReply ? "after a slow reply" : "after quick replies");
        KL2DACStatus playing;
        playing.state = KL2DACState::kPlaying;
        StatusBoard board({playing}, 1);
        FakePlaybackClock clock;
        clock.step = 0;
        const PlaybackClock playbackClock = clock.Clock();
        KL2DACStatusPoller poller(board.connection, playbackClock);
        poller.Started(0);
        clock.now = 5000;
        EXPECT_FALSE(poller.Poll(0));
        ASSERT_TRUE(board.WaitRequests(1));
        // The reply is in before the clock moves on, so no repeat overtakes it.
        ASSERT_TRUE(board.WaitForReplyBytes());
        const int64_t goodAt = slowReply ? 105 : 10;
        ASSERT_TRUE(PollUntilFresh(poller, clock, goodAt));
        // A new request goes out at once: the last one was sent 5 ms or more ago.
        EXPECT_EQ(board.Sent(), 2);
        const std::vector<int64_t> repeats =
            slowReply ? std::vector<int64_t>{300, 600} : std::vector<int64_t>{20, 40, 80, 160, 320};
        int64_t sentAt = goodAt;
        int requests = 2;
        for (const int64_t wait : repeats) {
            if (sentAt + wait >= goodAt + 500) break;
            clock.now = (sentAt + wait - 1) * 1000;
            EXPECT_FALSE(poller.Poll(0));
            EXPECT_EQ(board.Sent(), requests) << "early repeat at " << sentAt + wait - 1;
            clock.now = (sentAt + wait) * 1000;
            EXPECT_FALSE(poller.Poll(0));
            EXPECT_EQ(board.Sent(), ++requests) << "no repeat at " << sentAt + wait;
            sentAt += wait;
        }
        clock.now = (goodAt + 499) * 1000;
        EXPECT_FALSE(poller.Poll(0));
        clock.now = (goodAt + 500) * 1000;
        ExpectError<ReadError>([&] { (void)poller.Poll(0); },
                               "KL2 DAC STATUS timeout after read-only retries.");
    }
}

}  // namespace
}  // namespace klink::test
