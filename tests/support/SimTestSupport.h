#pragma once
// Helpers for the simulator tests: a driver that talks frames to a board
// model at explicit times, and a raw serial client for a running board.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/Bytes.h"
#include "platform/SerialPort.h"
#include "protocol/KLINKCodec.h"
#include "sim/SimBoardModel.h"

namespace klink::sim::testing {

inline std::vector<KLINKFrame> DecodeWire(std::span<const uint8_t> wire) {
    KLINKDecoder decoder;
    std::vector<KLINKFrame> frames;
    KLINKFrame f;
    for (uint8_t b : wire) {
        if (decoder.Feed(b, 0, f)) frames.push_back(f);
    }
    return frames;
}

inline std::vector<uint8_t> U32(uint32_t v) {
    std::vector<uint8_t> out;
    AppendLE32(out, v);
    return out;
}
inline std::vector<uint8_t> U64(uint64_t v) {
    std::vector<uint8_t> out;
    AppendLE64(out, v);
    return out;
}
inline std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline uint32_t Read32(std::span<const uint8_t> b, size_t at) { return LoadLE32(b, at); }

// Talks to a board model with frames whose last byte arrives at `now`.
class ModelDriver {
public:
    explicit ModelDriver(const std::string& model) : model_(*BuiltInProfile(model), "sim-test") {}
    explicit ModelDriver(SimProfile profile) : model_(std::move(profile), "sim-test") {}

    SimBoardModel& Model() { return model_; }
    int64_t now = 0;
    uint16_t lastId = 0x1000;

    // Every reply the request produced (normally exactly one), with the time it is ready.
    std::vector<SimReply> RawRequest(Opcode opcode, const std::vector<uint8_t>& payload) {
        Feed(EncodeFrame(MessageType::kRequest, opcode, ++lastId, payload));
        return model_.TakeReplies();
    }
    // The one reply's payload (status byte first); fails the test when there is not exactly one.
    std::vector<uint8_t> Request(Opcode opcode, const std::vector<uint8_t>& payload = {}) {
        auto replies = RawRequest(opcode, payload);
        EXPECT_EQ(replies.size(), 1u);
        if (replies.size() != 1) return {};
        auto frames = DecodeWire(replies[0].wire);
        EXPECT_EQ(frames.size(), 1u);
        if (frames.size() != 1) return {};
        EXPECT_EQ(frames[0].messageType, MessageType::kReply);
        EXPECT_EQ(frames[0].opcode, opcode);
        EXPECT_EQ(frames[0].requestId, lastId);
        return frames[0].payload;
    }
    void Packet(Opcode opcode, const std::vector<uint8_t>& payload) {
        Feed(EncodeFrame(MessageType::kPacket, opcode, ++lastId, payload));
        EXPECT_TRUE(model_.TakeReplies().empty());
    }
    void AdvanceMs(int64_t ms) {
        now += ms * 1'000'000;
        model_.AdvanceTo(now);
    }
    std::vector<SimTraceEvent> Trace() {
        auto t = model_.TakeTrace();
        all_.insert(all_.end(), t.begin(), t.end());
        return all_;
    }
    std::vector<SimTraceEvent> TraceOf(SimTraceOp op) {
        std::vector<SimTraceEvent> out;
        for (const auto& e : Trace()) {
            if (e.op == op) out.push_back(e);
        }
        return out;
    }

private:
    void Feed(const std::vector<uint8_t>& wire) {
        for (uint8_t b : wire) model_.Feed(b, now);
    }
    SimBoardModel model_;
    std::vector<SimTraceEvent> all_;
};

// A host end for a running board: opens the port raw at 115200 8N1 and
// exchanges frames.
class RawClient {
public:
    explicit RawClient(const std::string& path) : port_(platform::OpenSerialPort(path)) {
        platform::ConfigureSerialPort(port_.Get(), platform::SerialLineSettings{});
    }
    platform::OSHandle Handle() const { return port_.Get(); }
    void Close() { port_.Close(); }

    void Send(const std::vector<uint8_t>& wire) {
        platform::SetSerialTimeouts(port_.Get(), {0, 0, 0, 0, 5000});
        const auto r = platform::WriteSerialPort(port_.Get(), wire);
        ASSERT_EQ(r.error, 0);
        ASSERT_EQ(r.written, wire.size());
    }
    uint16_t SendRequest(Opcode opcode, const std::vector<uint8_t>& payload = {}) {
        Send(EncodeFrame(MessageType::kRequest, opcode, ++id_, payload));
        return id_;
    }
    void SendPacket(Opcode opcode, const std::vector<uint8_t>& payload) {
        Send(EncodeFrame(MessageType::kPacket, opcode, ++id_, payload));
    }
    // The next frame from the board within timeout, if any.
    std::optional<KLINKFrame> Receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(1500)) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        KLINKFrame f;
        while (std::chrono::steady_clock::now() < until) {
            uint8_t b = 0;
            if (platform::ReadSerialPort(port_.Get(), std::span(&b, 1)) == 1) {
                if (decoder_.Feed(b, f)) return f;
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        }
        return std::nullopt;
    }
    // Sends a request and returns the reply payload (status first); empty optional on no reply.
    std::optional<std::vector<uint8_t>> Request(Opcode opcode, const std::vector<uint8_t>& payload = {}) {
        const uint16_t id = SendRequest(opcode, payload);
        for (;;) {
            auto f = Receive();
            if (!f) return std::nullopt;
            if (f->messageType == MessageType::kReply && f->opcode == opcode && f->requestId == id)
                return f->payload;
        }
    }

private:
    platform::UniqueSerialPort port_;
    KLINKDecoder decoder_;
    uint16_t id_ = 0x2000;
};

}  // namespace klink::sim::testing
