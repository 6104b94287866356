#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ExpectError.h"
#include "ScriptedBoard.h"
#include "common/Errors.h"
#include "protocol/KLINKSerialLink.h"
#include "transport/BufferedSerialWriter.h"

namespace {

using namespace klink;
using klink::test::AudioDiagnostics;
using klink::test::Bytes;
using klink::test::DeviceInfoData;
using klink::test::ExpectError;
using klink::test::QuietClock;
using klink::test::ReplyTo;
using klink::test::ScriptedBoard;
using klink::test::WithStatus;

// Opens the request ID to tests.
class TestLink : public KLINKSerialLink {
public:
    using KLINKSerialLink::KLINKSerialLink;
    using KLINKSerialLink::SetRequestID;
};

// A link and its writer on a scripted board, with the fake clock.
class SerialLinkTest : public ::testing::Test {
protected:
    SerialLinkTest() : writer_(board_.Port()), clock_(board_, writer_), link_(writer_, clock_.Clock()) {
        link_.AttachPort(board_.Port());
    }
    ~SerialLinkTest() override { writer_.Shutdown(); }

    // Frames of one opcode the board has received.
    std::vector<KLINKFrame> FramesOf(Opcode opcode) {
        std::vector<KLINKFrame> out;
        for (auto& f : board_.Frames()) {
            if (f.opcode == opcode) {
                out.push_back(f);
            }
        }
        return out;
    }
    // Waits until the board has received `count` frames of one opcode (or 5 s passed).
    bool WaitFramesOf(Opcode opcode, size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (FramesOf(opcode).size() < count) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    // Reads the capability table of the default board.
    void ReadCapabilities() { link_.CheckCapabilities(false, false); }

    // State of the scripts; declared first so that it outlives the board's thread.
    Bytes held_;
    int count_ = 0;
    ScriptedBoard board_;
    BufferedSerialWriter writer_;
    QuietClock clock_;
    TestLink link_;
};

const std::vector<uint8_t> kNoPayload;

TEST(KLINKSerialLinkCreate, SeedsTheRequestIDFromTheMillisecondTick) {
    BufferedSerialWriter writer(platform::kInvalidOSHandle);
    KLINKSerialLink link(writer, KLINKLinkClock{[] { return uint64_t{0x5ABCD}; }, [](uint32_t) {}});
    EXPECT_EQ(link.RequestID(), 0xABCD);
    EXPECT_EQ(&link.Writer(), &writer);
}

TEST(KLINKSerialLinkCreate, RequestsNeedAnAttachedPort) {
    BufferedSerialWriter writer(platform::kInvalidOSHandle);
    KLINKSerialLink link(writer);
    ExpectError<ReadError>([&] { (void)link.Request(Opcode::kPing, kNoPayload); },
                           "KLINK input is not attached.");
    ExpectError<ReadError>([&] { (void)link.TryControlReply(); }, "KLINK input is not attached.");
    writer.Shutdown();
}

TEST_F(SerialLinkTest, RequestReturnsTheDataAfterTheStatusByte) {
    const Bytes payload{'a', 'b', 0, 'c'};
    EXPECT_EQ(link_.Request(Opcode::kPing, payload), payload);
    const auto frames = board_.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].messageType, MessageType::kRequest);
    EXPECT_EQ(frames[0].requestId, link_.RequestID());
    EXPECT_EQ(frames[0].payload, payload);
}

TEST_F(SerialLinkTest, ReplyContentsAreChecked) {
    struct Case {
        const char* name;
        Bytes reply;  // payload of the reply, status byte included
        Bytes data;   // expected result, when `error` is empty
        std::string error;
    };
    const Case cases[] = {
        {"status 0 without data", {0}, {}, ""},
        {"status 0 with data", {0, 1, 2}, {1, 2}, ""},
        {"no status byte", {}, {}, "Empty KLINK response."},
        {"status 3", {3, 9}, {}, "KLINK command $04 rejected (status=3, transaction=4660)."},
        {"status 255", {255}, {}, "KLINK command $04 rejected (status=255, transaction=4660)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_.SetScript([c](const KLINKFrame& f) { return ReplyTo(f, c.reply); });
        link_.SetRequestID(0x1233);
        if (c.error.empty()) {
            EXPECT_EQ(link_.Request(Opcode::kSetChipClock, kNoPayload), c.data);
        } else {
            ExpectError<ReadError>([&] { (void)link_.Request(Opcode::kSetChipClock, kNoPayload); }, c.error);
        }
    }
}

TEST_F(SerialLinkTest, AReplyWithThePreviousRequestIDIsIgnoredUntilTheTimeOut) {
    board_.SetScript([this](const KLINKFrame& f) {
        KLINKFrame stale = f;
        stale.requestId = static_cast<uint16_t>(f.requestId - 1);
        return ReplyTo(stale, WithStatus(0, f.payload));
    });
    ExpectError<ReadError>([&] { (void)link_.Request(Opcode::kPing, kNoPayload); },
                           "KLINK response timeout (command $01).");
    // A reply with another opcode and the right ID does not count either.
    board_.SetScript([this](const KLINKFrame& f) {
        KLINKFrame other = f;
        other.opcode = Opcode::kReset;
        return ReplyTo(other, WithStatus(0));
    });
    ExpectError<ReadError>([&] { (void)link_.Request(Opcode::kDeviceInfo, kNoPayload); },
                           "KLINK response timeout (command $02).");
    // The link is still usable.
    board_.SetScript({});
    EXPECT_EQ(link_.DeviceInfo(), "Keltra Test / Firmware 1.0");
}

TEST_F(SerialLinkTest, RequestIDsWrapFromFFFFToZero) {
    link_.SetRequestID(0xFFFE);
    (void)link_.Request(Opcode::kPing, kNoPayload);
    (void)link_.Request(Opcode::kPing, kNoPayload);
    ASSERT_TRUE(link_.TrySendPacket(Opcode::kStreamData, Bytes{1}));
    ASSERT_TRUE(board_.WaitFrames(3));
    const auto frames = board_.Frames();
    EXPECT_EQ(frames[0].requestId, 0xFFFF);
    EXPECT_EQ(frames[1].requestId, 0x0000);
    EXPECT_EQ(frames[2].requestId, 0x0001);
}

TEST_F(SerialLinkTest, APendingAudioStatusIsSwallowedByTheNextRequest) {
    link_.BeginAudioStatus();
    link_.BeginAudioStatus();  // already pending: nothing more is sent
    EXPECT_TRUE(link_.AudioStatusPending());
    EXPECT_EQ(link_.DeviceInfo(), "Keltra Test / Firmware 1.0");
    EXPECT_FALSE(link_.AudioStatusPending());
    const auto frames = board_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].opcode, Opcode::kAudioStatus);
    EXPECT_EQ(frames[0].payload, (Bytes{0xB7, 0x00}));
    EXPECT_EQ(frames[1].opcode, Opcode::kDeviceInfo);
}

TEST_F(SerialLinkTest, AnUnansweredAudioStatusFailsTheNextRequestOnce) {
    board_.SetScript([this](const KLINKFrame& f) {
        return f.opcode == Opcode::kAudioStatus ? Bytes{} : board_.DefaultAnswer(f);
    });
    link_.BeginAudioStatus();
    ExpectError<ReadError>([&] { (void)link_.Request(Opcode::kPing, kNoPayload); },
                           "KLINK AUDIO_STATUS timeout.");
    EXPECT_EQ(FramesOf(Opcode::kPing).size(), 0u);
    EXPECT_FALSE(link_.AudioStatusPending());
    EXPECT_TRUE(link_.Request(Opcode::kPing, kNoPayload).empty());
}

TEST_F(SerialLinkTest, CancelBeforeSendingSendsNothing) {
    const KLINKCancel stop = [] { return true; };
    ExpectError<AbortError>([&] { (void)link_.Request(Opcode::kPing, kNoPayload, stop); },
                            "Playback cancelled.");
    ExpectError<AbortError>([&] { (void)link_.TrySendPacket(Opcode::kStreamData, Bytes{1}, stop); },
                            "Playback cancelled.");
    ExpectError<AbortError>([&] { link_.Probe(stop); }, "Playback cancelled.");
    writer_.Drain();
    EXPECT_TRUE(board_.Quiet());
    EXPECT_TRUE(board_.Frames().empty());
}

TEST_F(SerialLinkTest, CancelWhileWaitingEndsTheWaitAndTheLateReplyIsDroppedLater) {
    // The board holds back its answer to the first PING and sends it just
    // before the answer to the next one.
    board_.SetScript([this](const KLINKFrame& f) {
        if (held_.empty() && f.payload == Bytes{'1'}) {
            held_ = ReplyTo(f, WithStatus(0, Bytes{'1'}));
            return Bytes{};
        }
        Bytes out = held_;
        const Bytes answer = board_.DefaultAnswer(f);
        out.insert(out.end(), answer.begin(), answer.end());
        return out;
    });
    std::atomic<int> polls{0};
    const KLINKCancel stopSoon = [&] { return ++polls > 5; };
    ExpectError<AbortError>([&] { (void)link_.Request(Opcode::kPing, Bytes{'1'}, stopSoon); },
                            "Playback cancelled.");
    EXPECT_GT(polls.load(), 5);
    EXPECT_EQ(link_.Request(Opcode::kPing, Bytes{'2'}), Bytes{'2'});
}

TEST_F(SerialLinkTest, ARefusedPacketQueuesNothingButAdvancesTheRequestID) {
    link_.BeginReceiveWindow();
    EXPECT_EQ(link_.AvailableReceiveBytes(), kReceiveWindowBytes);
    const Bytes payload(200, 0x11);
    const int32_t frameBytes =
        static_cast<int32_t>(EncodeFrame(MessageType::kPacket, Opcode::kStreamData, 0, payload).size());
    int sent = 0;
    while (link_.AvailableReceiveBytes() >= frameBytes) {
        ASSERT_TRUE(link_.TrySendPacket(Opcode::kStreamData, payload));
        ++sent;
    }
    EXPECT_EQ(link_.AvailableReceiveBytes(), kReceiveWindowBytes - sent * frameBytes);
    const uint16_t before = link_.RequestID();
    EXPECT_FALSE(link_.TrySendPacket(Opcode::kStreamData, payload));
    EXPECT_EQ(link_.RequestID(), static_cast<uint16_t>(before + 1));
    ExpectError<WriteError>([&] { link_.SendPacket(Opcode::kStreamData, payload); },
                            "KLINK receive window is full; wait for a STATUS reply.");
    ExpectError<WriteError>([&] { link_.AudioPacket(Opcode::kStreamData, payload); },
                            "KLINK receive window is full; wait for a STATUS reply.");
    // Control packets still have their reserve.
    EXPECT_TRUE(link_.TrySendPacket(Opcode::kDACEnd, Bytes(13, 0), {}, true));
    writer_.Drain();
    ASSERT_TRUE(board_.WaitFrames(static_cast<size_t>(sent) + 1));
    EXPECT_EQ(FramesOf(Opcode::kStreamData).size(), static_cast<size_t>(sent));

    // A reply to a request sent after them confirms every packet byte.
    (void)link_.Request(Opcode::kPing, kNoPayload);
    EXPECT_EQ(link_.AvailableReceiveBytes(), kReceiveWindowBytes);
}

TEST_F(SerialLinkTest, AStatusPolledWithoutWaitingConfirmsOnlyWhatWasSentBeforeIt) {
    link_.BeginReceiveWindow();
    ASSERT_TRUE(link_.TrySendPacket(Opcode::kDACRecords, Bytes(100, 1)));
    link_.BeginRequest(Opcode::kDACStatus, Bytes{1});
    ASSERT_TRUE(link_.TrySendPacket(Opcode::kDACRecords, Bytes(100, 2)));
    const int32_t second =
        static_cast<int32_t>(EncodeFrame(MessageType::kPacket, Opcode::kDACRecords, 0, Bytes(100, 2)).size());
    std::optional<std::vector<uint8_t>> reply;
    for (int i = 0; i < 5000 && !reply; ++i) {
        reply = link_.TryControlReply();
        platform::SleepMs(1);
    }
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(reply->empty());
    EXPECT_EQ(link_.AvailableReceiveBytes(), kReceiveWindowBytes - second);
}

TEST_F(SerialLinkTest, AReplyToARequestFromBeforeTheReceiveWindowNeverFailsIt) {
    // A request queued while an earlier window was counting, answered after
    // the next window began: its fence belongs to the old count.
    link_.BeginReceiveWindow();
    ASSERT_TRUE(link_.TrySendPacket(Opcode::kDACRecords, Bytes(200, 1)));
    link_.BeginRequest(Opcode::kDACStatus, Bytes{1});
    link_.BeginReceiveWindow();
    std::optional<std::vector<uint8_t>> reply;
    for (int i = 0; i < 5000 && !reply; ++i) {
        reply = link_.TryControlReply();
        platform::SleepMs(1);
    }
    EXPECT_TRUE(reply.has_value());
    EXPECT_EQ(link_.AvailableReceiveBytes(), kReceiveWindowBytes);
}

TEST_F(SerialLinkTest, StartupPacketsAreFencedEvery2048Bytes) {
    ReadCapabilities();
    link_.BeginStartup();
    const std::array<uint8_t, 254> pairs{};  // 127 writes of register 0 = 0
    for (int i = 0; i < 20; ++i) {
        link_.WriteYM2151(pairs);
    }
    link_.SynchronizeStartup();
    // Sum the packet bytes between the empty PINGs.
    const auto frames = board_.Frames();
    std::vector<size_t> segments{0};
    size_t fences = 0;
    for (const auto& f : frames) {
        if (f.opcode == Opcode::kCapabilities) {
            continue;
        }
        if (f.messageType == MessageType::kRequest) {
            ASSERT_EQ(f.opcode, Opcode::kPing);
            EXPECT_TRUE(f.payload.empty());
            ++fences;
            segments.push_back(0);
        } else {
            segments.back() += EncodeFrame(MessageType::kPacket, f.opcode, f.requestId, f.payload).size();
        }
    }
    const size_t frameBytes =
        EncodeFrame(MessageType::kPacket, WriteOpcode(0x54), 0, EncodeRegisterBatch(0, 0, pairs)).size();
    const size_t perFence = 2048 / frameBytes;
    EXPECT_EQ(fences, (20 + perFence - 1) / perFence);  // fences while writing, plus the final one
    for (size_t i = 0; i + 1 < segments.size(); ++i) {
        EXPECT_LE(segments[i], 2048u);
        EXPECT_GT(segments[i] + frameBytes, 2048u * (i + 2 < segments.size() ? 1 : 0));
    }
    EXPECT_EQ(segments.back(), 0u);

    // The window is closed now: more writes need no fence.
    const size_t before = board_.Frames().size();
    for (int i = 0; i < 20; ++i) {
        link_.WriteYM2151(pairs);
    }
    writer_.Drain();
    ASSERT_TRUE(board_.WaitFrames(before + 20));
    EXPECT_EQ(FramesOf(Opcode::kPing).size(), fences);
}

TEST_F(SerialLinkTest, AFailedStartupFenceSaysHowManyBytesWereUnconfirmed) {
    ReadCapabilities();
    const std::array<uint8_t, 254> pairs{};
    const size_t frameBytes =
        EncodeFrame(MessageType::kPacket, WriteOpcode(0x54), 0, EncodeRegisterBatch(0, 0, pairs)).size();
    const size_t perFence = 2048 / frameBytes;
    struct Case {
        const char* name;
        Bytes pingReply;
        std::string reason;  // after the prefix; "%ID%" stands for the fence's request ID
    };
    const Case cases[] = {
        {"rejected", {2}, "KLINK command $01 rejected (status=2, transaction=%ID%)."},
        {"answered with data", {0, 7}, "Invalid startup fence response."},
        {"no answer", {}, "KLINK response timeout (command $01)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_.SetScript([c, this](const KLINKFrame& f) {
            if (f.opcode == Opcode::kPing && f.payload.empty()) {
                return c.pingReply.empty() ? Bytes{} : ReplyTo(f, c.pingReply);
            }
            return board_.DefaultAnswer(f);
        });
        link_.BeginStartup();
        for (size_t i = 0; i < perFence; ++i) {
            link_.WriteYM2151(pairs);
        }
        std::string reason = c.reason;
        const auto at = reason.find("%ID%");
        if (at != std::string::npos) {
            // The packet takes the next ID, the fence the one after it.
            reason.replace(at, 4, std::to_string(static_cast<uint16_t>(link_.RequestID() + 2)));
        }
        ExpectError<ReadError>([&] { link_.WriteYM2151(pairs); }, "KLINK startup fence failed after " +
                                                                      std::to_string(perFence * frameBytes) +
                                                                      " unconfirmed bytes: " + reason);
        board_.SetScript({});
        link_.Reset();
    }

    // A cancel while waiting for the fence is not wrapped.
    board_.SetScript([this](const KLINKFrame& f) {
        return f.opcode == Opcode::kPing ? Bytes{} : board_.DefaultAnswer(f);
    });
    link_.BeginStartup();
    for (size_t i = 0; i < perFence; ++i) {
        link_.WriteYM2151(pairs);
    }
    int checks = 0;
    ExpectError<AbortError>([&] { link_.WriteYM2151(pairs, [&] { return ++checks > 4; }); },
                            "Playback cancelled.");
    // The cancel can come before this fence's PING has crossed the line.
    ASSERT_TRUE(WaitFramesOf(Opcode::kPing, 4));
    EXPECT_EQ(FramesOf(Opcode::kPing).size(), 4u);  // three failed fences and this one
}

TEST_F(SerialLinkTest, ProbeRetriesALateFirstAnswer) {
    // The first PING's answer only comes after the second PING.
    board_.SetScript([this](const KLINKFrame& f) {
        if (f.opcode != Opcode::kPing) {
            return board_.DefaultAnswer(f);
        }
        if (++count_ == 1) {
            held_ = board_.DefaultAnswer(f);
            return Bytes{};
        }
        Bytes out = held_;
        const Bytes answer = board_.DefaultAnswer(f);
        out.insert(out.end(), answer.begin(), answer.end());
        return out;
    });
    link_.Probe();
    const auto frames = FramesOf(Opcode::kPing);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].payload, (Bytes{'K', 'L', 'I', 'N', 'K'}));
}

TEST_F(SerialLinkTest, ProbeGivesUpAfterThreeBadAttempts) {
    struct Case {
        const char* name;
        Bytes echo;  // reply payload
        std::string error;
    };
    const Case cases[] = {
        {"wrong bytes", {0, 'K', 'L', 'I', 'N', 'X'}, "KLINK PING echo mismatch."},
        {"too short", {0, 'K', 'L', 'I', 'N'}, "KLINK PING echo mismatch."},
        {"too long", {0, 'K', 'L', 'I', 'N', 'K', '!'}, "KLINK PING echo mismatch."},
        {"rejected", {4}, "KLINK command $01 rejected (status=4, transaction=%ID%)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_.SetScript([c](const KLINKFrame& f) { return ReplyTo(f, c.echo); });
        const size_t before = FramesOf(Opcode::kPing).size();
        std::string error = c.error;
        const auto at = error.find("%ID%");
        if (at != std::string::npos) {
            error.replace(at, 4, std::to_string(static_cast<uint16_t>(link_.RequestID() + 3)));
        }
        ExpectError<ReadError>([&] { link_.Probe(); }, error);
        EXPECT_EQ(FramesOf(Opcode::kPing).size() - before, 3u);
    }
}

TEST_F(SerialLinkTest, DeviceInfoChecksItsLengths) {
    struct Case {
        const char* name;
        Bytes data;
        std::string result;  // or the error
        std::string model;
    };
    const Case cases[] = {
        {"model and firmware", DeviceInfoData("Keltra 4", "2.03"), "Keltra 4 / Firmware 2.03", "Keltra 4"},
        {"empty firmware", {5, 'M', 'o', 'd', 'e', 'l', 0}, "Model / Firmware ", "Model"},
        {"empty model", {0, 1, 'f'}, " / Firmware f", ""},
        {"UTF-8 model", DeviceInfoData("Kéltra", "1"), "Kéltra / Firmware 1", "Kéltra"},
        {"broken UTF-8", {2, 0xC3, 'x', 1, 0xFF}, "\xEF\xBF\xBDx / Firmware \xEF\xBF\xBD", "\xEF\xBF\xBDx"},
        {"one byte", {0}, "Invalid KLINK device info.", ""},
        {"nothing", {}, "Invalid KLINK device info.", ""},
        {"no firmware length", {5, 'M', 'o', 'd', 'e', 'l'}, "Invalid KLINK model length.", ""},
        {"model past the end", {9, 'M', 'o', 'd'}, "Invalid KLINK model length.", ""},
        {"firmware too long", {1, 'M', 3, 'a', 'b'}, "Invalid KLINK firmware length.", ""},
        {"firmware too short", {1, 'M', 1, 'a', 'b'}, "Invalid KLINK firmware length.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_.SetDeviceInfo(c.data);
        if (c.result.rfind("Invalid", 0) == 0) {
            ExpectError<ReadError>([&] { (void)link_.DeviceInfo(); }, c.result);
        } else {
            EXPECT_EQ(link_.DeviceInfo(), c.result);
            EXPECT_EQ(link_.DeviceName(), c.model);
        }
    }
}

TEST_F(SerialLinkTest, CheckCapabilitiesReadsEveryPageAndChecksTheProfile) {
    ReadCapabilities();
    EXPECT_TRUE(link_.Capabilities().Complete());
    EXPECT_EQ(link_.Capabilities().Entries().size(), 6u);
    const auto requests = FramesOf(Opcode::kCapabilities);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].payload, (Bytes{0, 0}));
    EXPECT_EQ(requests[1].payload, (Bytes{3, 0}));
    link_.CheckCapabilities(true, true);

    struct Case {
        const char* name;
        std::function<void(std::vector<KLINKCapabilityPage>&)> change;
        bool useYm;
        bool useAudio;
        std::string error;
    };
    const Case cases[] = {
        {"small payloads", [](auto& p) { p[0].maxPayload = p[1].maxPayload = 128; }, false, false,
         "This playback profile requires 256-byte KLINK payloads."},
        {"no YM2151 burst", [](auto& p) { p[0].entries[0].features = 0x06; }, true, false,
         "YM2151 instance 0/page 0 BURST is required."},
        {"no YM2151 burst, not asked", [](auto& p) { p[0].entries[0].features = 0x06; }, false, true, ""},
        {"no ADPCM stream", [](auto& p) { p[1].entries[1].features = 0x04; }, false, true,
         "Required ADPCM stream/register events are unavailable."},
        {"no stream events", [](auto& p) { p[0].entries[0].features = 0x05; }, true, true,
         "Required ADPCM stream/register events are unavailable."},
        {"no stream events, YM not asked", [](auto& p) { p[0].entries[0].features = 0x05; }, false, true, ""},
        {"874 data bytes", [](auto& p) { p[0].dataCapacity = p[1].dataCapacity = 874; }, false, true,
         "Insufficient KLINK stream capacity for 80ms lead."},
        {"875 data bytes", [](auto& p) { p[0].dataCapacity = p[1].dataCapacity = 875; }, false, true, ""},
        {"no events", [](auto& p) { p[0].eventCapacity = p[1].eventCapacity = 0; }, false, true,
         "Insufficient KLINK stream capacity for 80ms lead."},
        {"changed header", [](auto& p) { p[1].eventCapacity = 1; }, false, false,
         "KLINK capabilities changed during query."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto pages = klink::test::DefaultCapabilityPages();
        c.change(pages);
        board_.SetPages(pages);
        if (c.error.empty()) {
            link_.CheckCapabilities(c.useYm, c.useAudio);
        } else {
            ExpectError<ReadError>([&] { link_.CheckCapabilities(c.useYm, c.useAudio); }, c.error);
        }
    }
}

TEST_F(SerialLinkTest, SetOutputVolumeWaitsOrGoesOutAsAControlPacket) {
    const KLINKCancel stop = [] { return true; };
    ExpectError<WriteError>([&] { link_.SetOutputVolume(0); },
                            "KLINK output attenuation is unavailable or invalid.");  // no table yet
    ReadCapabilities();
    ExpectError<WriteError>([&] { link_.SetOutputVolume(97, stop); },
                            "KLINK output attenuation is unavailable or invalid.");
    ExpectError<AbortError>([&] { link_.SetOutputVolume(0, stop); }, "Playback cancelled.");
    link_.SetOutputVolume(0);
    link_.SetOutputVolume(96, {}, false);
    writer_.Drain();
    ASSERT_TRUE(board_.WaitFrames(4));
    const auto frames = FramesOf(Opcode::kSetOutputVolume);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].messageType, MessageType::kRequest);
    EXPECT_EQ(frames[0].payload, Bytes{0});
    EXPECT_EQ(frames[1].messageType, MessageType::kPacket);
    EXPECT_EQ(frames[1].payload, Bytes{96});

    // Without waiting it may use the control reserve, but not beyond it.
    link_.BeginReceiveWindow();
    const Bytes payload(250, 0);
    while (link_.TrySendPacket(Opcode::kDACRecords, payload, {}, true)) {
    }
    while (link_.TrySendPacket(Opcode::kSetOutputVolume, Bytes{10})) {
    }
    ExpectError<WriteError>([&] { link_.SetOutputVolume(10, {}, false); },
                            "KLINK output-volume receive reserve exceeded.");

    auto pages = klink::test::DefaultCapabilityPages();
    pages[0].controlFeatures = pages[1].controlFeatures = 0;
    board_.SetPages(pages);
    ReadCapabilities();
    ExpectError<WriteError>([&] { link_.SetOutputVolume(0); },
                            "KLINK output attenuation is unavailable or invalid.");
}

TEST_F(SerialLinkTest, SetChipClockSendsOnlyWhatTheTableAllows) {
    ReadCapabilities();
    const size_t before = board_.Frames().size();
    struct Case {
        const char* name;
        uint8_t writeId;
        uint8_t instance;
        uint32_t hertz;
        std::string error;  // empty: success without a request
    };
    const Case cases[] = {
        {"fixed YM2413, other crystal", 0x51, 0, 3579540, ""},
        {"fixed YM2413, same", 0x51, 0, 3579545, ""},
        {"fixed YM2413, 4 MHz", 0x51, 0, 4000000,
         "Chip $51 has a fixed 3579545 Hz clock; VGM requests 4000000 Hz."},
        {"fixed SN76489, other crystal", 0x50, 0, 3579540,
         "Chip $50 has a fixed 3579545 Hz clock; VGM requests 3579540 Hz."},
        {"zero", 0x54, 0, 0, "Unsupported logical chip clock."},
        {"unknown target", 0x54, 1, 4000000, "Unsupported logical chip clock."},
        {"unknown clock mode", 0x5A, 0, 3579545, "Unsupported logical chip clock."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.error.empty()) {
            link_.SetChipClock(c.writeId, c.instance, c.hertz);
        } else {
            ExpectError<WriteError>([&] { link_.SetChipClock(c.writeId, c.instance, c.hertz); }, c.error);
        }
    }
    writer_.Drain();
    EXPECT_EQ(board_.Frames().size(), before);

    link_.SetChipClock(0x54, 0, 4000000);
    const auto sent = FramesOf(Opcode::kSetChipClock);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].payload, (Bytes{0x54, 0x00, 0x00, 0x09, 0x3D, 0x00}));
}

TEST_F(SerialLinkTest, SetChipClockNamesTheTargetInItsReplyErrors) {
    ReadCapabilities();
    struct Case {
        const char* name;
        bool answer;
        Bytes reply;
        std::string reason;
    };
    const Case cases[] = {
        {"rejected", true, {3}, "KLINK command $04 rejected (status=3, transaction=4660)."},
        {"completion with data", true, {0, 1}, "Invalid chip clock completion."},
        {"empty reply", true, {}, "Empty KLINK response."},
        {"no reply", false, {}, "KLINK response timeout (command $04)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_.SetScript([c](const KLINKFrame& f) { return c.answer ? ReplyTo(f, c.reply) : Bytes{}; });
        link_.SetRequestID(0x1233);
        ExpectError<ReadError>([&] { link_.SetChipClock(0x54, 0, 3579545); },
                               "SET_CHIP_CLOCK $54 / instance=0 / requested=3579545 Hz: " + c.reason);
    }
    ExpectError<AbortError>([&] { link_.SetChipClock(0x54, 0, 3579545, [] { return true; }); },
                            "Playback cancelled.");
}

TEST_F(SerialLinkTest, RegisterWritesCheckTargetAndAddresses) {
    const Bytes pair{0x08, 0x00};
    ExpectError<WriteError>([&] { link_.WriteYM2151(pair); },
                            "Unavailable register target $54/0/0.");  // no table yet
    ReadCapabilities();
    struct Case {
        const char* name;
        uint8_t writeId;
        uint8_t page;
        Bytes data;
        std::string error;
    };
    const Case cases[] = {
        {"YM2151 register FF", 0x54, 0, {0xFF, 0x12, 0x08, 0x00}, ""},
        {"YM2413 register 3F", 0x51, 0, {0x3F, 0x01}, ""},
        {"YM2413 register 40", 0x51, 0, {0x10, 0x01, 0x40, 0x01}, "Invalid chip register address."},
        {"AY register 0F", 0xA0, 0, {0x0F, 0xFF}, ""},
        {"AY register 10", 0xA0, 0, {0x10, 0x00}, "Invalid chip register address."},
        {"SN76489 any bytes", 0x50, 0, {0xFF, 0x9F, 0x40}, ""},
        {"odd register batch", 0x54, 0, {0x08}, "Invalid KLINK register batch."},
        {"empty byte batch", 0x50, 0, {}, "Invalid KLINK byte batch."},
        {"no such page", 0x54, 1, {0x08, 0x00}, "Unavailable register target $54/0/1."},
        {"clock only", 0xB7, 0, {0x00, 0x00}, "Unavailable register target $B7/0/0."},
    };
    size_t accepted = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const uint16_t id = link_.RequestID();
        if (c.error.empty()) {
            EXPECT_TRUE(link_.TryWriteRegisters(c.writeId, 0, c.page, c.data));
            ++accepted;
        } else {
            ExpectError<WriteError>([&] { (void)link_.TryWriteRegisters(c.writeId, 0, c.page, c.data); },
                                    c.error);
            EXPECT_EQ(link_.RequestID(), id);  // nothing was encoded
        }
    }
    writer_.Drain();
    ASSERT_TRUE(board_.WaitFrames(2 + accepted));
    const auto frames = board_.Frames();
    const auto& sn = frames.back();
    EXPECT_EQ(sn.messageType, MessageType::kPacket);
    EXPECT_EQ(sn.opcode, WriteOpcode(0x50));
    EXPECT_EQ(sn.payload, (Bytes{0, 0, 0xFF, 0x9F, 0x40}));
}

TEST_F(SerialLinkTest, AudioPacketsAndStatus) {
    ExpectError<WriteError>([&] { link_.AudioPacket(Opcode::kDACRecords, Bytes{1}); },
                            "Invalid audio opcode.");
    ExpectError<AbortError>([&] { link_.AudioPacket(Opcode::kStreamData, Bytes{1}, [] { return true; }); },
                            "Playback cancelled.");
    link_.AudioPacket(Opcode::kStreamStart, Bytes{1, 2});
    const AudioStatusReport status = link_.AudioStatus();
    EXPECT_EQ(
        status.text,
        "ADPCM: accepted=100, played=40, pending=60, underflows=0, overflows=0, rejected=0, max pending=80 "
        "bytes, flags=0, late events=0, max event lag=0 bytes");
    EXPECT_FALSE(status.finished);
    EXPECT_FALSE(status.failed);
    EXPECT_EQ(link_.AudioAccepted(), 100u);
    EXPECT_EQ(link_.AudioPlayed(), 40u);
    EXPECT_EQ(link_.AudioPending(), 60u);
    const auto frames = board_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].opcode, Opcode::kStreamStart);
    EXPECT_EQ(frames[0].messageType, MessageType::kPacket);
}

TEST_F(SerialLinkTest, PollAudioStatusNeverWaits) {
    EXPECT_FALSE(link_.PollAudioStatus().has_value());

    link_.BeginAudioStatus();
    std::optional<AudioStatusReport> status;
    for (int i = 0; i < 5000 && !status; ++i) {
        status = link_.PollAudioStatus();
        platform::SleepMs(1);
    }
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->text.rfind("ADPCM: accepted=100,", 0), 0u);
    EXPECT_FALSE(status->finished);
    EXPECT_FALSE(status->failed);
    EXPECT_FALSE(link_.AudioStatusPending());

    board_.SetScript([](const KLINKFrame&) { return Bytes{}; });
    link_.BeginAudioStatus();
    EXPECT_FALSE(link_.PollAudioStatus().has_value());
    clock_.Advance(999);
    EXPECT_FALSE(link_.PollAudioStatus().has_value());
    clock_.Advance(1);
    ExpectError<ReadError>([&] { (void)link_.PollAudioStatus(); }, "KLINK AUDIO_STATUS timeout.");
    EXPECT_FALSE(link_.AudioStatusPending());
}

TEST_F(SerialLinkTest, ResetClosesBothWindows) {
    link_.BeginReceiveWindow();
    link_.BeginStartup();
    ASSERT_TRUE(link_.TrySendPacket(Opcode::kDACRecords, Bytes(100, 1)));
    EXPECT_LT(link_.AvailableReceiveBytes(), kReceiveWindowBytes);
    link_.Reset();
    EXPECT_EQ(link_.AvailableReceiveBytes(), kReceiveUnlimited);

    board_.SetScript([this](const KLINKFrame& f) {
        return f.opcode == Opcode::kReset ? ReplyTo(f, Bytes{0, 1}) : board_.DefaultAnswer(f);
    });
    ExpectError<ReadError>([&] { link_.Reset(); }, "Invalid KLINK reset completion.");
    board_.SetScript([this](const KLINKFrame& f) {
        return f.opcode == Opcode::kPing ? ReplyTo(f, Bytes{0, 1}) : board_.DefaultAnswer(f);
    });
    ExpectError<ReadError>([&] { link_.SynchronizeStartup(); }, "Invalid startup PING response.");
}

TEST(KLINKSerialLinkDescribeAudioStatus, ChecksAndDescribesTheDiagnostics) {
    using klink::test::AudioDiagnostics;
    struct Case {
        const char* name;
        Bytes data;
        std::string text;  // or the error
        bool finished;
        bool failed;
    };
    const std::string base =
        "ADPCM: accepted=100, played=40, pending=60, underflows=1, overflows=2, rejected=3, max pending=4 "
        "bytes, ";
    const Case cases[] = {
        {"valid", AudioDiagnostics({100, 40, 60, 1, 2, 3, 4, 0, 5, 6}),
         base + "flags=0, late events=5, max event lag=6 bytes", false, false},
        {"finished", AudioDiagnostics({100, 40, 60, 1, 2, 3, 4, 2, 5, 6}),
         base + "flags=2, late events=5, max event lag=6 bytes", true, false},
        {"failed with a reason", AudioDiagnostics({100, 40, 60, 1, 2, 3, 4, 0x14, 5, 6}),
         base + "flags=20, late events=5, max event lag=6 bytes; reason=rx-overflow", false, true},
        {"failed without a reason", AudioDiagnostics({100, 40, 60, 1, 2, 3, 4, 0x04, 5, 6}),
         base + "flags=4, late events=5, max event lag=6 bytes; reason=unknown (older firmware)", false,
         true},
        {"every reason", AudioDiagnostics({100, 40, 60, 1, 2, 3, 4, 0x3FE, 5, 6}),
         base + "flags=1022, late events=5, max event lag=6 bytes; reason=usb-reset,rx-overflow,rx-discard,"
                "pcm-underflow,pcm-overflow,event-overflow,invalid-command",
         true, true},
        {"a reason without failure", AudioDiagnostics({100, 40, 60, 1, 2, 3, 4, 0x200, 5, 6}),
         base + "flags=512, late events=5, max event lag=6 bytes; reason=invalid-command", false, false},
        {"pending off by one", AudioDiagnostics({100, 40, 61, 1, 2, 3, 4, 0, 5, 6}),
         "Invalid KLINK stream positions.", false, false},
        {"played beyond accepted", AudioDiagnostics({40, 100, 0, 0, 0, 0, 0, 0, 0, 0}),
         "Invalid KLINK stream positions.", false, false},
        {"39 bytes", Bytes(39, 0), "Unsupported KLINK ADPCM diagnostics.", false, false},
        {"41 bytes", Bytes(41, 0), "Unsupported KLINK ADPCM diagnostics.", false, false},
    };
    BufferedSerialWriter writer(platform::kInvalidOSHandle);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KLINKSerialLink link(writer);
        if (c.text.rfind("ADPCM", 0) == 0) {
            // Every valid case reports 1 underflow and 5 late events.
            EXPECT_EQ(link.DescribeAudioStatus(c.data),
                      (AudioStatusReport{c.text, c.finished, c.failed, 1, 5}));
        } else {
            ExpectError<ReadError>([&] { (void)link.DescribeAudioStatus(c.data); }, c.text);
        }
    }
    writer.Shutdown();
}

}  // namespace
