#pragma once
// The KL4 board's ADPCM stream player: it buffers the stream bytes and the
// position-bound events the host sends, starts playing on STREAM_START at the
// byte rate of the OKIM6258 clock and divider, applies each event when
// playback reaches its position, and reports the AUDIO_STATUS counters.
//
// Time-driven and single-threaded: the board calls AdvanceTo with its clock
// before every packet it hands over and whenever it looks at the time.

#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <vector>

#include "SimBoardSink.h"
#include "adpcm/OKICodec.h"

namespace klink::sim {

// Flag bits of the AUDIO_STATUS record.
inline constexpr uint32_t kStreamStarted = 0x01;
inline constexpr uint32_t kStreamFinished = 0x02;
inline constexpr uint32_t kStreamFailed = 0x04;
inline constexpr uint32_t kStreamRxOverflow = 0x10;
inline constexpr uint32_t kStreamPCMUnderflow = 0x40;
inline constexpr uint32_t kStreamPCMOverflow = 0x80;
inline constexpr uint32_t kStreamEventOverflow = 0x100;
inline constexpr uint32_t kStreamInvalidCommand = 0x200;

struct SimStreamStatus {
    uint32_t accepted = 0;
    uint32_t played = 0;
    uint32_t pending = 0;
    uint32_t underflows = 0;
    uint32_t overflows = 0;
    uint32_t rejected = 0;
    uint32_t maxPending = 0;
    uint32_t flags = 0;
    uint32_t lateEvents = 0;
    uint32_t maxEventLag = 0;

    // The 40-byte AUDIO_STATUS reply data.
    [[nodiscard]] std::vector<uint8_t> Encode() const;
};

class SimADPCMStream {
public:
    SimADPCMStream(SimBoardSink& sink, uint32_t dataCapacity, uint16_t eventCapacity, bool ymEvents);

    void Reset();
    // Packet payloads as the host sends them (target bytes included); each
    // handled at timeNs, the arrival of the packet's last byte. A malformed
    // payload is counted as rejected. Returns false when the payload was refused.
    bool Start(int64_t timeNs, std::span<const uint8_t> payload);
    bool Data(int64_t timeNs, std::span<const uint8_t> payload);
    bool Events(int64_t timeNs, std::span<const uint8_t> payload);

    void AdvanceTo(int64_t timeNs);
    [[nodiscard]] SimStreamStatus Status() const { return status_; }
    // The board's receive buffer overflowed: the stream fails with rx-overflow.
    void ReceiveOverflow(int64_t timeNs);

    // Fault switches: fail with `flags` once `afterBytes` have played; ignore STREAM_START.
    void SetFault(uint32_t flags, uint32_t afterBytes) {
        faultFlags_ = flags;
        faultAfter_ = afterBytes;
    }
    void SetNeverStart(bool on) { neverStart_ = on; }

    [[nodiscard]] bool Playing() const noexcept { return started_ && !stopped_; }
    [[nodiscard]] uint32_t SampleRate() const noexcept { return divider_ == 0 ? 0 : clock_ / divider_; }
    [[nodiscard]] uint8_t Pan() const noexcept { return pan_; }

private:
    struct Event {
        uint8_t kind = 0;
        std::vector<uint8_t> data;
    };
    void Reject(int64_t timeNs, const char* what, bool fatal);
    void Fail(int64_t timeNs, uint32_t flags, const char* what);
    void Apply(int64_t timeNs, const Event& e);
    // Decodes one byte (two samples, low nibble first) to the board's audio.
    void PlayByte(uint8_t byte);
    void SetRate(uint32_t clock, uint32_t divider);
    void UpdatePending();

    SimBoardSink& sink_;
    const uint32_t dataCapacity_;
    const uint16_t eventCapacity_;
    const bool ymEvents_;

    SimStreamStatus status_;
    std::deque<uint8_t> data_;               // bytes `played` .. `accepted` - 1
    std::multimap<uint32_t, Event> events_;  // by position, in arrival order
    uint32_t heldEvents_ = 0;                // events (register pairs count one each) not yet applied
    bool hasEnd_ = false;
    uint32_t endPosition_ = 0;
    uint8_t silence_ = 0x80;  // played after the last stream byte

    bool started_ = false;
    bool stopped_ = false;  // finished or failed
    bool stalled_ = false;
    uint32_t clock_ = 0;
    uint32_t divider_ = 0;
    uint8_t pan_ = 0;
    // Start time of the byte at position `played`, as whole ns plus a remainder in 1/clock_ ns.
    int64_t nextNs_ = 0;
    uint64_t nextRem_ = 0;
    OKICodec decoder_;

    uint32_t faultFlags_ = 0;
    uint32_t faultAfter_ = 0;
    bool neverStart_ = false;
};

}  // namespace klink::sim
