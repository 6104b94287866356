#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ExpectError.h"
#include "common/Errors.h"
#include "protocol/KLINKCodec.h"

namespace {

using klink::DecodeFrame;
using klink::EncodeFrame;
using klink::KLINKDecoder;
using klink::KLINKFrame;
using klink::MessageType;
using klink::Opcode;
using klink::WriteOpcode;
using klink::test::ExpectError;
using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The bytes between the two delimiters of a wire frame.
Bytes BodyOf(const Bytes& wire) { return Bytes(wire.begin() + 1, wire.end() - 1); }

// Plain COBS as a second opinion, for raw frames the encoder refuses to build.
Bytes Cobs(const Bytes& raw) {
    Bytes out{0};
    size_t code = 0;
    uint8_t n = 1;
    for (uint8_t b : raw) {
        if (b == 0) {
            out[code] = n;
            code = out.size();
            out.push_back(0);
            n = 1;
            continue;
        }
        out.push_back(b);
        if (++n == 0xFF) {
            out[code] = n;
            code = out.size();
            out.push_back(0);
            n = 1;
        }
    }
    out[code] = n;
    return out;
}

// A raw frame with a correct CRC; `edit` may change header bytes first.
Bytes Raw(uint8_t type, uint8_t op, uint16_t id, const Bytes& payload, void (*edit)(Bytes&) = nullptr) {
    Bytes raw{0x4B,
              0x4C,
              0x01,
              type,
              op,
              static_cast<uint8_t>(id),
              static_cast<uint8_t>(id >> 8),
              static_cast<uint8_t>(payload.size()),
              static_cast<uint8_t>(payload.size() >> 8)};
    raw.insert(raw.end(), payload.begin(), payload.end());
    if (edit) edit(raw);
    const uint16_t crc = klink::FrameCrc16(raw);
    raw.push_back(static_cast<uint8_t>(crc));
    raw.push_back(static_cast<uint8_t>(crc >> 8));
    return raw;
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(byte(rng));
    return b;
}

// ---------------------------------------------------------------- checksum

TEST(KLINKCodec, Crc16MatchesTheStandardCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(klink::FrameCrc16(Bytes(check.begin(), check.end())), 0x29B1);
    EXPECT_EQ(klink::FrameCrc16(Bytes{}), 0xFFFF);
    EXPECT_EQ(klink::FrameCrc16(Bytes{0x4B, 0x4C, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00}), 0xF3E7);
}

// ---------------------------------------------------------------- known wire bytes

TEST(KLINKCodec, EmptyPingWithRequestIdZeroHasACodeByteForEveryZero) {
    // Raw 4B 4C 01 01 01 00 00 00 00 E7 F3: zeros at 5..8 give one block each.
    const Bytes expected{0x00, 0x06, 0x4B, 0x4C, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x03, 0xE7, 0xF3, 0x00};
    EXPECT_EQ(EncodeFrame(MessageType::kRequest, Opcode::kPing, 0, {}), expected);
}

TEST(KLINKCodec, ReplyWithZeroInsidePayload) {
    // Raw 4B 4C 01 02 02 34 12 03 00 | 00 AB CD | 2E F8.
    const Bytes expected{0x00, 0x09, 0x4B, 0x4C, 0x01, 0x02, 0x02, 0x34, 0x12,
                         0x03, 0x01, 0x05, 0xAB, 0xCD, 0x2E, 0xF8, 0x00};
    EXPECT_EQ(EncodeFrame(MessageType::kReply, Opcode::kDeviceInfo, 0x1234, Bytes{0x00, 0xAB, 0xCD}),
              expected);
}

TEST(KLINKCodec, LargestFrameIs271WireBytesWithAFullBlock) {
    Bytes payload(256);
    for (int i = 0; i < 256; ++i) payload[i] = static_cast<uint8_t>(i % 255 + 1);  // no zeros
    // Raw: 4B 4C 01 00 10 12 34 00 01 | payload | D3 A2. Zeros at offsets 3 and 7,
    // then 259 non-zero bytes: one full block of 254 and a block of 5.
    const Bytes tail254 = Concat({{0x01}, Bytes(payload.begin(), payload.begin() + 253)});
    const Bytes expected = Concat({{0x00, 0x04, 0x4B, 0x4C, 0x01, 0x04, 0x10, 0x12, 0x34, 0xFF},
                                   tail254,
                                   {0x06},
                                   Bytes(payload.begin() + 253, payload.end()),
                                   {0xD3, 0xA2, 0x00}});
    const Bytes wire = EncodeFrame(MessageType::kPacket, Opcode::kStreamData, 0x3412, payload);
    EXPECT_EQ(wire.size(), 271u);
    EXPECT_EQ(wire, expected);
}

TEST(KLINKCodec, FinalBlockOfExactly254BytesEndsWithCodeByteOne) {
    const Bytes payload(252, 0x11);
    // Raw: 4B 4C 01 01 54 02 01 FC 00 | 252 x 11 | 47 3A. After the zero at offset
    // 8 come exactly 254 non-zero bytes up to the end of the frame.
    const Bytes expected = Concat({{0x00, 0x09, 0x4B, 0x4C, 0x01, 0x01, 0x54, 0x02, 0x01, 0xFC, 0xFF},
                                   payload,
                                   {0x47, 0x3A, 0x01, 0x00}});
    const Bytes wire = EncodeFrame(MessageType::kRequest, WriteOpcode(0x54), 0x0102, payload);
    EXPECT_EQ(wire, expected);

    KLINKFrame frame;
    ASSERT_TRUE(DecodeFrame(BodyOf(wire), frame));
    EXPECT_EQ(frame.payload, payload);
    EXPECT_EQ(frame.requestId, 0x0102);

    // Without the closing 0x01 code byte the body still decodes to the same frame.
    Bytes shortBody = BodyOf(wire);
    shortBody.pop_back();
    KLINKFrame other;
    ASSERT_TRUE(DecodeFrame(shortBody, other));
    EXPECT_EQ(other, frame);
}

// ---------------------------------------------------------------- encode refusals

TEST(KLINKCodec, EncodeRefusesOversizedPayloadAndBadMessageType) {
    ExpectError<klink::WriteError>(
        [] { (void)EncodeFrame(MessageType::kPacket, Opcode::kStreamData, 0, Bytes(257, 1)); },
        "KLINK payload too large.");
    ExpectError<klink::WriteError>([] { (void)EncodeFrame(MessageType{3}, Opcode::kStreamData, 0, Bytes{}); },
                                   "Invalid KLINK message type.");
    // The size is checked first.
    ExpectError<klink::WriteError>(
        [] { (void)EncodeFrame(MessageType{7}, Opcode::kStreamData, 0, Bytes(300, 1)); },
        "KLINK payload too large.");
}

// ---------------------------------------------------------------- round trips

TEST(KLINKCodec, EveryPayloadLengthRoundTrips) {
    std::mt19937 rng(20261210);
    std::uniform_int_distribution<int> type(0, 2);
    std::uniform_int_distribution<int> word(0, 0xFFFF);
    for (size_t n = 0; n <= 256; ++n) {
        for (int variant = 0; variant < 3; ++variant) {
            KLINKFrame in;
            in.messageType = static_cast<MessageType>(type(rng));
            in.opcode = static_cast<Opcode>(word(rng));
            in.requestId = static_cast<uint16_t>(word(rng));
            in.payload = RandomBytes(rng, n);
            // Variant 1: no zeros at all in the payload; variant 2: only zeros.
            if (variant == 1) std::replace(in.payload.begin(), in.payload.end(), uint8_t{0}, uint8_t{0x5A});
            if (variant == 2) std::fill(in.payload.begin(), in.payload.end(), uint8_t{0});

            const Bytes wire = EncodeFrame(in.messageType, in.opcode, in.requestId, in.payload);
            SCOPED_TRACE("payload length " + std::to_string(n) + " variant " + std::to_string(variant));
            ASSERT_LE(wire.size(), 271u);
            ASSERT_GE(wire.size(), 13u);
            EXPECT_EQ(wire.front(), 0);
            EXPECT_EQ(wire.back(), 0);
            EXPECT_EQ(std::count(wire.begin() + 1, wire.end() - 1, uint8_t{0}), 0);

            KLINKFrame out;
            ASSERT_TRUE(DecodeFrame(BodyOf(wire), out));
            EXPECT_EQ(out, in);
        }
    }
}

TEST(KLINKCodec, DecodeFailureLeavesTheFrameEmpty) {
    KLINKFrame frame{MessageType::kReply, Opcode::kCapabilities, 0x9999, Bytes{1, 2, 3}};
    EXPECT_FALSE(DecodeFrame(Bytes{0x01}, frame));
    EXPECT_EQ(frame, KLINKFrame{});
}

// ---------------------------------------------------------------- decode rejections

struct RejectCase {
    const char* name;
    Bytes body;
};

std::vector<RejectCase> RejectCases() {
    const Bytes good =
        BodyOf(EncodeFrame(MessageType::kRequest, Opcode::kCapabilities, 0x0203, Bytes{0x10, 0x00, 0x20}));
    std::vector<RejectCase> cases;
    cases.push_back({"empty body", {}});
    {
        Bytes big = Concat({Bytes(1, 0xFF), Bytes(254, 0x33), Bytes(1, 0x0F), Bytes(14, 0x44)});
        cases.push_back({"body of 270 bytes", big});
    }
    {
        Bytes b = good;
        b[0] = 0x00;
        cases.push_back({"code byte zero", b});
    }
    cases.push_back({"code byte overruns the body", Bytes(good.begin(), good.end() - 1)});
    {
        Bytes b;
        for (int i = 0; i < 133; ++i) b.insert(b.end(), {0x02, 0x55});  // 266 decoded bytes
        b.insert(b.end(), {0x03, 0x55, 0x55});                          // 2 more than fit
        cases.push_back({"more data than output space", b});
    }
    {
        Bytes b;
        for (int i = 0; i < 133; ++i) b.insert(b.end(), {0x02, 0x55});
        b.insert(b.end(), {0x02, 0x55, 0x01});  // 267 bytes, then a zero that does not fit
        cases.push_back({"zero beyond 267 bytes", b});
    }
    {
        Bytes b = good;
        b[2] = 0x00;  // inside the first block
        cases.push_back({"zero data byte inside a block", b});
    }
    {
        Bytes raw = Raw(1, 0x05, 0x0203, {});
        raw.resize(10);
        cases.push_back({"fewer than 11 decoded bytes", Cobs(raw)});
    }
    cases.push_back({"wrong magic 0", Cobs(Raw(1, 5, 0x0203, {1}, [](Bytes& r) { r[0] = 0x4A; }))});
    cases.push_back({"wrong magic 1", Cobs(Raw(1, 5, 0x0203, {1}, [](Bytes& r) { r[1] = 0x4B; }))});
    cases.push_back({"version 2", Cobs(Raw(1, 5, 0x0203, {1}, [](Bytes& r) { r[2] = 0x02; }))});
    cases.push_back({"message type 3", Cobs(Raw(3, 5, 0x0203, {1}))});
    cases.push_back({"message type 255", Cobs(Raw(255, 5, 0x0203, {1}))});
    cases.push_back({"payload length 257", Cobs(Raw(1, 5, 0x0203, {1}, [](Bytes& r) {
                         r[7] = 0x01;
                         r[8] = 0x01;
                     }))});
    cases.push_back(
        {"length field too large for the data", Cobs(Raw(1, 5, 0x0203, {1, 2}, [](Bytes& r) { r[7] = 3; }))});
    cases.push_back(
        {"length field too small for the data", Cobs(Raw(1, 5, 0x0203, {1, 2}, [](Bytes& r) { r[7] = 1; }))});
    {
        Bytes raw = Raw(1, 5, 0x0203, {1, 2});
        raw[raw.size() - 2] ^= 0x01;
        cases.push_back({"wrong CRC low byte", Cobs(raw)});
        raw = Raw(1, 5, 0x0203, {1, 2});
        raw.back() ^= 0x80;
        cases.push_back({"wrong CRC high byte", Cobs(raw)});
        raw = Raw(1, 5, 0x0203, {1, 2});
        raw[9] ^= 0x04;  // payload changed after the CRC was taken
        cases.push_back({"payload corrupted", Cobs(raw)});
    }
    return cases;
}

TEST(KLINKCodec, DecodeRejectsEveryMalformedBody) {
    // The helpers themselves build acceptable frames.
    KLINKFrame frame;
    ASSERT_TRUE(DecodeFrame(Cobs(Raw(1, 5, 0x0203, {1, 2})), frame));
    ASSERT_TRUE(DecodeFrame(
        BodyOf(EncodeFrame(MessageType::kRequest, Opcode::kCapabilities, 0x0203, Bytes{0x10, 0x00, 0x20})),
        frame));

    for (const auto& c : RejectCases()) {
        KLINKFrame out;
        EXPECT_FALSE(DecodeFrame(c.body, out)) << c.name;
        EXPECT_EQ(out, KLINKFrame{}) << c.name;
    }
}

TEST(KLINKCodec, EverySingleBitFlipInABodyIsRejected) {
    // A single corrupted byte must never produce a different frame that passes.
    const KLINKFrame in{MessageType::kRequest, Opcode::kSetChipClock, 0xBEEF,
                        Bytes{0x54, 0x00, 0x00, 0x36, 0x6E, 0x01}};
    const Bytes body = BodyOf(EncodeFrame(in.messageType, in.opcode, in.requestId, in.payload));
    for (size_t i = 0; i < body.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes b = body;
            b[i] ^= static_cast<uint8_t>(1u << bit);
            KLINKFrame out;
            EXPECT_FALSE(DecodeFrame(b, out)) << "byte " << i << " bit " << bit;
        }
    }
}

// ---------------------------------------------------------------- incremental decoder

// Feeds `bytes` one per millisecond from `t`; returns the frames completed.
std::vector<KLINKFrame> FeedAll(KLINKDecoder& d, const Bytes& bytes, uint64_t& t, uint64_t stepMs = 1) {
    std::vector<KLINKFrame> frames;
    for (uint8_t b : bytes) {
        KLINKFrame f;
        if (d.Feed(b, t, f)) frames.push_back(f);
        t += stepMs;
    }
    return frames;
}

class KLINKDecoderTest : public ::testing::Test {
protected:
    KLINKDecoder decoder_;
    uint64_t t_ = 1000;
    const KLINKFrame first_{MessageType::kReply, Opcode::kPing, 0x0007, Bytes{'K', 'L', 'I', 'N', 'K'}};
    const KLINKFrame second_{MessageType::kReply, Opcode::kCapabilities, 0x0008, Bytes(200, 0x00)};
    const Bytes firstWire_ =
        EncodeFrame(MessageType::kReply, Opcode::kPing, 0x0007, Bytes{'K', 'L', 'I', 'N', 'K'});
    const Bytes secondWire_ =
        EncodeFrame(MessageType::kReply, Opcode::kCapabilities, 0x0008, Bytes(200, 0x00));
};

TEST_F(KLINKDecoderTest, FramesCompleteOnlyOnTheirClosingZero) {
    KLINKFrame f;
    for (size_t i = 0; i + 1 < firstWire_.size(); ++i) {
        EXPECT_FALSE(decoder_.Feed(firstWire_[i], t_++, f)) << "byte " << i;
    }
    ASSERT_TRUE(decoder_.Feed(firstWire_.back(), t_++, f));
    EXPECT_EQ(f, first_);
    EXPECT_EQ(decoder_.Count(), 0);
}

TEST_F(KLINKDecoderTest, BackToBackFramesAndDoubleZerosAreHarmless) {
    const Bytes stream = Concat({{0x00, 0x00}, firstWire_, secondWire_, {0x00, 0x00, 0x00}, firstWire_});
    const auto frames = FeedAll(decoder_, stream, t_);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], first_);
    EXPECT_EQ(frames[1], second_);
    EXPECT_EQ(frames[2], first_);
}

TEST_F(KLINKDecoderTest, FramesSharingOneDelimiterBothDecode) {
    const Bytes stream = Concat({firstWire_, Bytes(secondWire_.begin() + 1, secondWire_.end())});
    const auto frames = FeedAll(decoder_, stream, t_);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1], second_);
}

TEST_F(KLINKDecoderTest, GapOf500MsInsideAFrameDropsIt) {
    const size_t half = firstWire_.size() / 2;
    EXPECT_TRUE(FeedAll(decoder_, Bytes(firstWire_.begin(), firstWire_.begin() + half), t_).empty());
    t_ += 499;  // the next byte arrives 500 ms after the previous one
    EXPECT_TRUE(FeedAll(decoder_, Bytes(firstWire_.begin() + half, firstWire_.end()), t_).empty());
    EXPECT_FALSE(decoder_.Discarding());  // its closing zero ended the discard

    const auto frames = FeedAll(decoder_, secondWire_, t_);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], second_);
}

TEST_F(KLINKDecoderTest, GapJustUnder500MsKeepsTheFrame) {
    const size_t half = firstWire_.size() / 2;
    (void)FeedAll(decoder_, Bytes(firstWire_.begin(), firstWire_.begin() + half), t_);
    t_ += 498;  // 499 ms after the previous byte
    const auto frames = FeedAll(decoder_, Bytes(firstWire_.begin() + half, firstWire_.end()), t_);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], first_);
}

TEST_F(KLINKDecoderTest, PauseBetweenFramesDoesNothing) {
    (void)FeedAll(decoder_, firstWire_, t_);
    t_ += 60000;
    const auto frames = FeedAll(decoder_, secondWire_, t_);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], second_);
}

TEST_F(KLINKDecoderTest, PauseAfterALeadingDelimiterDoesNothing) {
    (void)FeedAll(decoder_, Bytes{0x00}, t_);
    t_ += 10000;
    const auto frames = FeedAll(decoder_, Bytes(firstWire_.begin() + 1, firstWire_.end()), t_);
    ASSERT_EQ(frames.size(), 1u);
}

TEST_F(KLINKDecoderTest, OverlongBodyIsDiscardedUpToTheNextZero) {
    // 269 bytes still fit (the largest body); the 270th drops the body.
    (void)FeedAll(decoder_, Bytes(269, 0x77), t_);
    EXPECT_EQ(decoder_.Count(), 269);
    EXPECT_FALSE(decoder_.Discarding());
    (void)FeedAll(decoder_, Bytes{0x77}, t_);
    EXPECT_EQ(decoder_.Count(), 0);
    EXPECT_TRUE(decoder_.Discarding());

    // A complete frame body arriving during the discard is not collected:
    // only a zero ends the discard.
    EXPECT_TRUE(FeedAll(decoder_, BodyOf(firstWire_), t_).empty());
    EXPECT_EQ(decoder_.Count(), 0);
    EXPECT_TRUE(FeedAll(decoder_, Bytes{0x00}, t_).empty());
    EXPECT_FALSE(decoder_.Discarding());

    // Bytes right after that zero form a new body.
    const auto frames = FeedAll(decoder_, Concat({BodyOf(secondWire_), {0x00}}), t_);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], second_);
}

TEST_F(KLINKDecoderTest, BodyOfExactly269BytesIsDecodedNotDiscarded) {
    // The largest wire frame has a 269-byte body.
    const Bytes wire = EncodeFrame(MessageType::kPacket, Opcode::kStreamData, 0x3412, Bytes(256, 0x01));
    ASSERT_EQ(wire.size(), 271u);
    const auto frames = FeedAll(decoder_, wire, t_);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload.size(), 256u);
}

TEST_F(KLINKDecoderTest, GarbageBodyIsDroppedAndTheNextFrameDecodes) {
    const Bytes stream = Concat({{0x00, 0x12, 0x34, 0x56, 0x00}, firstWire_});
    const auto frames = FeedAll(decoder_, stream, t_);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], first_);
}

TEST_F(KLINKDecoderTest, ClearForgetsAPartialBodyAndADiscard) {
    (void)FeedAll(decoder_, Bytes(firstWire_.begin(), firstWire_.begin() + 5), t_);
    decoder_.Clear();
    EXPECT_EQ(decoder_.Count(), 0);
    EXPECT_EQ(FeedAll(decoder_, firstWire_, t_).size(), 1u);

    (void)FeedAll(decoder_, Bytes(270, 0x77), t_);
    ASSERT_TRUE(decoder_.Discarding());
    decoder_.Clear();
    EXPECT_EQ(FeedAll(decoder_, BodyOf(firstWire_), t_).size(), 0u);
    EXPECT_EQ(FeedAll(decoder_, Bytes{0x00}, t_).size(), 1u);
}

TEST_F(KLINKDecoderTest, FeedWithoutTimeUsesTheMonotonicClock) {
    std::vector<KLINKFrame> frames;
    for (uint8_t b : Concat({firstWire_, secondWire_})) {
        KLINKFrame f;
        if (decoder_.Feed(b, f)) frames.push_back(f);
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], first_);
    EXPECT_EQ(frames[1], second_);
}

// ---------------------------------------------------------------- batches

struct BatchCase {
    size_t count;
    uint8_t page;
    bool valid;
};

TEST(KLINKCodec, RegisterBatchCountRules) {
    const BatchCase cases[] = {{0, 0, false},   {1, 0, false},   {2, 0, true},    {3, 0, false},
                               {4, 1, true},    {252, 0, true},  {253, 0, false}, {254, 1, true},
                               {255, 0, false}, {256, 0, false}, {2, 7, true}};
    for (const auto& c : cases) {
        Bytes data(c.count);
        for (size_t i = 0; i < c.count; ++i) data[i] = static_cast<uint8_t>(i * 7);
        if (c.valid) {
            const Bytes payload = klink::EncodeRegisterBatch(1, c.page, data);
            EXPECT_EQ(payload, Concat({{1, c.page}, data})) << c.count;
        } else {
            SCOPED_TRACE("count " + std::to_string(c.count));
            ExpectError<klink::WriteError>([&] { (void)klink::EncodeRegisterBatch(1, c.page, data); },
                                           "Invalid KLINK register batch.");
        }
    }
}

TEST(KLINKCodec, ByteBatchCountAndPageRules) {
    const BatchCase cases[] = {{0, 0, false},  {1, 0, true},    {2, 0, true},  {253, 0, true},
                               {254, 0, true}, {255, 0, false}, {1, 1, false}, {10, 0xFF, false}};
    for (const auto& c : cases) {
        Bytes data(c.count, 0x9F);
        if (c.valid) {
            EXPECT_EQ(klink::EncodeByteBatch(1, c.page, data), Concat({{1, 0}, data})) << c.count;
        } else {
            SCOPED_TRACE("count " + std::to_string(c.count) + " page " + std::to_string(c.page));
            ExpectError<klink::WriteError>([&] { (void)klink::EncodeByteBatch(1, c.page, data); },
                                           "Invalid KLINK byte batch.");
        }
    }
}

TEST(KLINKCodec, LargestBatchesFitOneFrame) {
    const Bytes payload = klink::EncodeRegisterBatch(0, 0, Bytes(254, 0x20));
    EXPECT_EQ(payload.size(), 256u);
    EXPECT_LE(EncodeFrame(MessageType::kPacket, WriteOpcode(0x54), 0xFFFF, payload).size(), 271u);
}

TEST(KLINKCodec, OnlyTheSN76489CommandsUseByteBatches) {
    for (int id = 0; id < 256; ++id) {
        EXPECT_EQ(klink::UsesByteBatch(static_cast<uint8_t>(id)), id == 0x30 || id == 0x50) << id;
    }
}

}  // namespace
