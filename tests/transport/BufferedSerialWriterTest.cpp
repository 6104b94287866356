#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>

#include "PtyPair.h"
#include "common/Errors.h"
#include "platform/SerialPort.h"
#include "transport/BufferedSerialWriter.h"

namespace {

using namespace klink;
using klink::testing::Pattern;
using klink::testing::PtyPair;
using platform::UniqueSerialPort;

// A pseudo-terminal board with the port opened the way the window opens it.
struct OpenBoard {
    PtyPair pty;
    UniqueSerialPort port;
    OpenBoard() : port(platform::OpenSerialPort(pty.SlavePath())) {
        platform::ConfigureSerialPort(port.Get(), {});
        ConfigureWriteTimeouts(port.Get());
    }
};

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const WriteError& e) {
        return e.what();
    }
    return "(no failure)";
}

// Waits until the writer has stored a failure, which Drain then raises.
std::string WaitForFailure(BufferedSerialWriter& writer, int timeoutMs = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            writer.Drain();
        } catch (const WriteError& e) {
            if (std::string(e.what()) != "Serial writer did not drain within 2 seconds.") {
                return e.what();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "(no failure)";
}

// Writes go nowhere: records each chunk; while the gate is closed a write
// waits for it. A fake counter (1 tick = 1 ms) can be moved by each write.
class FakePortWriter : public BufferedSerialWriter {
public:
    explicit FakePortWriter(bool gateOpen = true, int64_t ticksPerWrite = 0)
        : BufferedSerialWriter(platform::kInvalidOSHandle, Clock{[this] { return now_.load(); }, 1000}),
          open_(gateOpen),
          ticksPerWrite_(ticksPerWrite) {}
    ~FakePortWriter() override {
        OpenGate();
        Shutdown();
    }
    FakePortWriter(const FakePortWriter&) = delete;
    FakePortWriter& operator=(const FakePortWriter&) = delete;

    void OpenGate() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    // Lets `count` more writes through the closed gate.
    void Allow(int count) {
        {
            std::lock_guard lock(mutex_);
            allowed_ += count;
        }
        changed_.notify_all();
    }
    // Waits until `count` chunks went through and the next write waits at the gate.
    void WaitForChunks(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this, count] { return chunks_.size() >= count && entered_ > count; });
    }
    // Waits until a write is held at the closed gate.
    void WaitUntilHeld() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return held_; });
    }
    std::vector<int32_t> Chunks() {
        std::lock_guard lock(mutex_);
        return chunks_;
    }
    std::vector<uint8_t> Bytes() {
        std::lock_guard lock(mutex_);
        return bytes_;
    }
    int64_t driverQueue = 0;

protected:
    int32_t WritePort(const uint8_t* buffer, int32_t count) override {
        std::unique_lock lock(mutex_);
        held_ = true;
        ++entered_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_ || allowed_ > 0; });
        if (!open_) --allowed_;
        chunks_.push_back(count);
        changed_.notify_all();
        bytes_.insert(bytes_.end(), buffer, buffer + count);
        now_ += ticksPerWrite_;
        return count;
    }
    int64_t OutputQueueBytes() override { return driverQueue; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_;
    bool held_ = false;
    int allowed_ = 0;
    size_t entered_ = 0;
    std::vector<int32_t> chunks_;
    std::vector<uint8_t> bytes_;
    std::atomic<int64_t> now_{0};
    const int64_t ticksPerWrite_;
};

TEST(BufferedSerialWriter, BytesArriveInOrderAcrossTheRingWrap) {
    OpenBoard board;
    board.pty.StartReader();
    BufferedSerialWriter writer(board.port.Get());
    // Frames of changing sizes, over four laps of the 64 KiB ring.
    constexpr size_t kTotal = 4 * 65536 + 1234;
    const auto all = Pattern(kTotal);
    size_t sent = 0;
    for (int32_t size = 1; sent < kTotal; size = size % 3000 + 397) {
        const auto n = std::min<size_t>(static_cast<size_t>(size), kTotal - sent);
        while (writer.PendingBytes() + static_cast<int64_t>(n) > BufferedSerialWriter::kInitialLimit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        writer.Enqueue(std::span(all).subspan(sent, n));
        sent += n;
    }
    writer.Drain();
    ASSERT_TRUE(board.pty.WaitCollected(kTotal));
    board.pty.StopReader();
    EXPECT_TRUE(board.pty.Collected() == all);
}

TEST(BufferedSerialWriter, WritesInChunksOfAtMost512Bytes) {
    struct Case {
        int32_t count;
        std::vector<int32_t> chunks;
    };
    const Case cases[] = {
        {1, {1}},
        {512, {512}},
        {513, {512, 1}},
        {1300, {512, 512, 276}},
    };
    for (const auto& c : cases) {
        FakePortWriter writer;
        const auto data = Pattern(static_cast<size_t>(c.count));
        writer.Enqueue(data);
        writer.Drain();
        EXPECT_EQ(writer.Chunks(), c.chunks) << c.count;
        EXPECT_EQ(writer.Bytes(), data);
    }
    FakePortWriter whole;
    whole.Enqueue(Pattern(65536));
    whole.Drain();
    EXPECT_EQ(whole.Chunks(), std::vector<int32_t>(128, 512)) << "a full ring in one frame";
}

// Records what the writer reports; read after Drain.
class RecordingProbe final : public SerialWriteProbe {
public:
    RecordingProbe() { SetSerialWriteProbe(this); }
    ~RecordingProbe() { SetSerialWriteProbe(nullptr); }
    RecordingProbe(const RecordingProbe&) = delete;
    RecordingProbe& operator=(const RecordingProbe&) = delete;
    void Enqueued(int64_t counter, std::span<const uint8_t> data) noexcept override {
        std::lock_guard lock(mutex);
        enqueued.push_back({counter, static_cast<int64_t>(data.size())});
    }
    void Written(int64_t before, int64_t after, int32_t bytes) noexcept override {
        std::lock_guard lock(mutex);
        written.push_back({before, after, bytes});
    }
    std::mutex mutex;
    std::vector<std::pair<int64_t, int64_t>> enqueued;  // counter, bytes
    std::vector<std::tuple<int64_t, int64_t, int32_t>> written;
};

TEST(BufferedSerialWriter, ProbeSeesEveryAcceptedFrameAndEveryPortWrite) {
    std::vector<std::pair<int64_t, int64_t>> enqueued;
    std::vector<std::tuple<int64_t, int64_t, int32_t>> written;
    {
        RecordingProbe probe;
        FakePortWriter writer(true, 5);  // each write moves the clock 5 ticks
        writer.Enqueue(Pattern(20));
        writer.Drain();
        writer.Enqueue(Pattern(600));
        writer.Drain();
        EXPECT_THROW(writer.Enqueue(Pattern(70000).data(), 70000), WriteError);
        std::lock_guard lock(probe.mutex);
        enqueued = probe.enqueued;
        written = probe.written;
    }
    EXPECT_EQ(enqueued, (std::vector<std::pair<int64_t, int64_t>>{{0, 20}, {5, 600}}))
        << "refused frames are not seen";
    EXPECT_EQ(written,
              (std::vector<std::tuple<int64_t, int64_t, int32_t>>{{0, 5, 20}, {5, 10, 512}, {10, 15, 88}}));
}

TEST(BufferedSerialWriter, RefusesBadSizesAndIgnoresEmptyFrames) {
    FakePortWriter writer;
    const auto big = Pattern(65537);
    for (int32_t count : {-1, 65537}) {
        EXPECT_EQ(MessageOf([&] { writer.Enqueue(big.data(), count); }), "Invalid serial packet size.")
            << count;
    }
    EXPECT_EQ(MessageOf([&] { writer.Enqueue(big); }), "Invalid serial packet size.");
    writer.Enqueue(nullptr, 0);
    writer.Drain();
    EXPECT_TRUE(writer.Chunks().empty());
}

TEST(BufferedSerialWriter, PlaybackLimitRefusesAWholeFrameWhileASmallerOneFits) {
    FakePortWriter writer(false);
    writer.PreparePlayback();
    writer.Enqueue(Pattern(8000));
    writer.WaitUntilHeld();  // 8000 bytes in flight, held at the port
    EXPECT_EQ(MessageOf([&] { writer.Enqueue(Pattern(200)); }),
              "Serial backlog limit reached; playback stopped.");
    writer.Enqueue(Pattern(192, 8000));
    EXPECT_EQ(MessageOf([&] { writer.Enqueue(Pattern(1)); }),
              "Serial backlog limit reached; playback stopped.");
    writer.driverQueue = 7;
    EXPECT_EQ(writer.PendingBytes(), 8000 + 192 + 7);
    writer.OpenGate();
    writer.Drain();
    EXPECT_EQ(writer.Bytes(), Pattern(8192)) << "refused frames leave no trace";
}

// Chunks of a batch already handed to the port wait in the driver's queue:
// neither the backlog limit nor PendingBytes counts them a second time.
TEST(BufferedSerialWriter, WrittenChunksOfABatchCountOnlyInTheDriverQueue) {
    FakePortWriter writer(false);
    writer.PreparePlayback();
    writer.Allow(2);
    writer.Enqueue(Pattern(2000));
    writer.WaitForChunks(2);  // 1024 bytes handed over, the third chunk held
    writer.driverQueue = 1024;
    EXPECT_EQ(writer.PendingBytes(), 2000);
    EXPECT_EQ(MessageOf([&] { writer.Enqueue(Pattern(8192 - 976 + 1)); }),
              "Serial backlog limit reached; playback stopped.");
    writer.Enqueue(Pattern(8192 - 976, 2000));
    writer.OpenGate();
    writer.Drain();
    EXPECT_EQ(writer.Bytes(), Pattern(2000 + 8192 - 976));
}

TEST(BufferedSerialWriter, BatchOlderThanTwoSecondsFails) {
    // The fake counter moves 1 ms per tick by the given amount at each write.
    for (auto [ticks, message] :
         {std::pair<int64_t, const char*>{2000, "(no failure)"},
          std::pair<int64_t, const char*>{2001, "Serial batch exceeded the 2 second limit."}}) {
        FakePortWriter writer(true, ticks);
        writer.Enqueue(Pattern(100));
        EXPECT_EQ(MessageOf([&] { writer.Drain(); }), message) << ticks;
    }
}

TEST(BufferedSerialWriter, StalledReaderFailsTheWriterForEveryLaterCaller) {
    OpenBoard board;
    // Fill the pseudo-terminal until it takes nothing more; nobody reads.
    const auto fill = Pattern(4096);
    platform::SetSerialTimeouts(board.port.Get(), {0, 0, 0, 0, 100});
    while (platform::WriteSerialPort(board.port.Get(), fill).written > 0) {
    }
    ConfigureWriteTimeouts(board.port.Get());
    BufferedSerialWriter writer(board.port.Get());
    writer.Enqueue(Pattern(100));
    EXPECT_EQ(WaitForFailure(writer), "Serial write made no valid progress.");

    EXPECT_EQ(MessageOf([&] { writer.Enqueue(Pattern(10)); }), "Serial write made no valid progress.");
    EXPECT_EQ(MessageOf([&] { writer.Enqueue(Pattern(10)); }), "Serial write made no valid progress.");
    writer.Enqueue(nullptr, 0);  // an empty frame is still no failure
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MessageOf([&] { writer.Drain(); }), "Serial write made no valid progress.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500))
        << "idle is signalled";
}

TEST(BufferedSerialWriter, HungUpPortFailsWithTheSystemsError) {
    OpenBoard board;
    BufferedSerialWriter writer(board.port.Get());
    board.pty.HangUp();
    writer.Enqueue(Pattern(10));
    EXPECT_EQ(
        WaitForFailure(writer),
        "Serial WriteFile failed: Win32 5 (Input/output error); requested=10, reported=0 bytes. Playback "
        "stopped.");
}

TEST(BufferedSerialWriter, ShutdownWritesWhatWasQueuedThenRefusesMore) {
    OpenBoard board;
    board.pty.StartReader();
    const auto all = Pattern(60000);
    {
        BufferedSerialWriter writer(board.port.Get());
        for (size_t i = 0; i < 3; ++i) {
            writer.Enqueue(std::span(all).subspan(i * 20000, 20000));
        }
        writer.Shutdown();
        EXPECT_EQ(MessageOf([&] { writer.Enqueue(Pattern(1)); }), "Serial writer is stopping.");
        writer.Shutdown();  // a second call is harmless
    }
    ASSERT_TRUE(board.pty.WaitCollected(all.size()));
    board.pty.StopReader();
    EXPECT_TRUE(board.pty.Collected() == all);
}

TEST(BufferedSerialWriter, EnqueueWhileShutdownWaitsIsRefused) {
    FakePortWriter writer(false);
    writer.Enqueue(Pattern(10));
    writer.WaitUntilHeld();
    std::thread stopper([&] { writer.Shutdown(); });
    // Frames queued before the stop request still go out; after it, none.
    size_t accepted = 10;
    std::string message;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (message != "Serial writer is stopping." && std::chrono::steady_clock::now() < deadline) {
        try {
            writer.Enqueue(Pattern(1, accepted));
            ++accepted;
        } catch (const WriteError& e) {
            message = e.what();  // the backlog may fill before the stopper runs
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_EQ(message, "Serial writer is stopping.");
    writer.OpenGate();
    stopper.join();
    EXPECT_EQ(writer.Bytes(), Pattern(accepted));
}

TEST(BufferedSerialWriter, DrainTimesOutWhileTheBatchIsHeld) {
    FakePortWriter writer(false);
    writer.Enqueue(Pattern(10));
    writer.WaitUntilHeld();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MessageOf([&] { writer.Drain(); }), "Serial writer did not drain within 2 seconds.");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    writer.OpenGate();
    writer.Drain();  // the writer kept running
    writer.Enqueue(Pattern(5));
    writer.Drain();
    EXPECT_EQ(writer.Bytes().size(), 15u);
}

TEST(ConfigureWriteTimeouts, SetsOneSecondWritesAndKeepsTheReadValues) {
    OpenBoard board;
    platform::SetSerialTimeouts(board.port.Get(), {1, 0, 1, 0, 10});
    ConfigureWriteTimeouts(board.port.Get());
    EXPECT_EQ(platform::GetSerialTimeouts(board.port.Get()), (platform::SerialTimeouts{1, 0, 1, 0, 1000}));
    EXPECT_EQ(MessageOf([] { ConfigureWriteTimeouts(platform::kInvalidOSHandle); }),
              "Serial GetCommTimeouts failed: Win32 9 (Bad file descriptor)");
}

}  // namespace
