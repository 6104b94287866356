#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "adpcm/ADPCMStreamPayloads.h"
#include "common/Errors.h"
#include "protocol/KLINKCodec.h"

namespace klink {
namespace {

using Bytes = std::vector<uint8_t>;

static_assert(kStreamDataOpcode == static_cast<uint8_t>(Opcode::kStreamData));
static_assert(kStreamEventsOpcode == static_cast<uint8_t>(Opcode::kStreamEvents));
static_assert(kStreamStartOpcode == static_cast<uint8_t>(Opcode::kStreamStart));

AudioEvent Event(uint32_t position, AudioEventKind kind, const Bytes& payload) {
    AudioEvent e;
    e.position = position;
    e.kind = kind;
    e.payloadSize = static_cast<uint8_t>(payload.size());
    for (size_t i = 0; i < payload.size(); ++i) e.payload[i] = payload[i];
    return e;
}
AudioEvent YM(uint32_t position, uint8_t reg, uint8_t value) {
    return Event(position, AudioEventKind::kYM2151Write, {reg, value});
}

TEST(ADPCMStreamPayloads, StartDataAndEndLayouts) {
    EXPECT_EQ(EncodeStreamStart(8'000'000, 512), (Bytes{0xB7, 0x00, 0x00, 0x12, 0x7A, 0x00, 0x00, 0x02}));
    EXPECT_EQ(EncodeStreamData(0x01020304, Bytes{0xAA, 0xBB}),
              (Bytes{0xB7, 0x00, 0x04, 0x03, 0x02, 0x01, 0xAA, 0xBB}));
    EXPECT_EQ(EncodeStreamEnd(0x00012345, 0x08), (Bytes{0xB7, 0x00, 0x45, 0x23, 0x01, 0x00, 0x03, 0x08}));

    const Bytes full(250, 0x5A);
    const Bytes packet = EncodeStreamData(7, full);
    EXPECT_EQ(packet.size(), kMaxStreamPayload);
    EXPECT_EQ(Bytes(packet.begin() + 6, packet.end()), full);
    for (const Bytes& bad : {Bytes{}, Bytes(251, 0)}) {
        EXPECT_THROW((void)EncodeStreamData(0, bad), ArgumentOutOfRange);
    }
}

TEST(ADPCMStreamPayloads, EventKindsOneAndTwoTravelAlone) {
    const AudioEvent events[] = {
        Event(0x10, AudioEventKind::kClockDivider, {0x00, 0x09, 0x3D, 0x00, 0x00, 0x03}),
        Event(0x10, AudioEventKind::kPan, {0x02}),
        Event(0x10, AudioEventKind::kPan, {0x03}),
    };
    const std::vector<Bytes> packets = EncodeStreamEvents(events);
    EXPECT_EQ(packets, (std::vector<Bytes>{
                           {0xB7, 0x00, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x09, 0x3D, 0x00, 0x00, 0x03},
                           {0xB7, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0x02},
                           {0xB7, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0x03},
                       }));
}

TEST(ADPCMStreamPayloads, YM2151WritesAtOnePositionShareFullPackets) {
    std::vector<AudioEvent> events;
    for (int i = 0; i < 130; ++i)
        events.push_back(YM(0x00ABCDEF, static_cast<uint8_t>(i), static_cast<uint8_t>(~i)));
    const std::vector<Bytes> packets = EncodeStreamEvents(events);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].size(), 256u);  // 123 pairs
    EXPECT_EQ(packets[1].size(), 7u + 3u + 2u * 7u);
    size_t next = 0;
    for (const Bytes& p : packets) {
        EXPECT_EQ(Bytes(p.begin(), p.begin() + 10),
                  (Bytes{0xB7, 0x00, 0xEF, 0xCD, 0xAB, 0x00, 0x00, 0x54, 0x00, 0x00}));
        for (size_t at = 10; at < p.size(); at += 2, ++next) {
            EXPECT_EQ(p[at], static_cast<uint8_t>(next));
            EXPECT_EQ(p[at + 1], static_cast<uint8_t>(~next));
        }
    }
    EXPECT_EQ(next, 130u);

    // 123 exactly fit one packet.
    events.resize(123);
    EXPECT_EQ(EncodeStreamEvents(events).size(), 1u);
}

TEST(ADPCMStreamPayloads, OnlyDirectlyFollowingWritesAtTheSamePositionShareAPacket) {
    const struct Case {
        const char* name;
        std::vector<AudioEvent> events;
        std::vector<Bytes> packets;
    } cases[] = {
        {"YM2151 write and pan at one position",
         {YM(5, 0x20, 0x01), Event(5, AudioEventKind::kPan, {1})},
         {{0xB7, 0, 5, 0, 0, 0, 0x00, 0x54, 0, 0, 0x20, 0x01}, {0xB7, 0, 5, 0, 0, 0, 0x02, 0x01}}},
        {"pan between two writes",
         {YM(5, 0x20, 0x01), Event(5, AudioEventKind::kPan, {1}), YM(5, 0x21, 0x02)},
         {{0xB7, 0, 5, 0, 0, 0, 0x00, 0x54, 0, 0, 0x20, 0x01},
          {0xB7, 0, 5, 0, 0, 0, 0x02, 0x01},
          {0xB7, 0, 5, 0, 0, 0, 0x00, 0x54, 0, 0, 0x21, 0x02}}},
        {"two positions",
         {YM(5, 0x20, 0x01), YM(5, 0x28, 0x4A), YM(6, 0x21, 0x02)},
         {{0xB7, 0, 5, 0, 0, 0, 0x00, 0x54, 0, 0, 0x20, 0x01, 0x28, 0x4A},
          {0xB7, 0, 6, 0, 0, 0, 0x00, 0x54, 0, 0, 0x21, 0x02}}},
        {"none", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(EncodeStreamEvents(c.events), c.packets);
    }
}

TEST(ADPCMStreamPayloads, RefusesEventsThatAreNotTheBoards) {
    const AudioEvent bad[] = {
        Event(0, AudioEventKind::kExternalWrite, {0x50, 0, 0, 0, 0x9F}),
        Event(0, AudioEventKind::kEndOfStream, {0x08}),
        Event(0, AudioEventKind::kPan, {1, 2}),
        Event(0, AudioEventKind::kYM2151Write, {1}),
    };
    for (const AudioEvent& e : bad) {
        EXPECT_THROW((void)EncodeStreamEvents(std::vector<AudioEvent>{e}), ArgumentOutOfRange);
    }
    // A short write inside a run of writes, too.
    EXPECT_THROW((void)EncodeStreamEvents(
                     std::vector<AudioEvent>{YM(0, 1, 2), Event(0, AudioEventKind::kYM2151Write, {1})}),
                 ArgumentOutOfRange);
}

}  // namespace
}  // namespace klink
