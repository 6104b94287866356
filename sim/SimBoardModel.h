#pragma once
// One simulated Keltra board as the host sees it on the line: it takes the
// bytes of incoming frames with their arrival times, answers every request
// with one reply, applies packets to its chips and playback buffers, and
// records what it did. No I/O and no clock of its own: the caller hands in
// the board's time with every call (nanoseconds since the board started), so
// the model runs the same under a real line or in a test.
//
// Reply status codes (0 = done):
//   1 unknown opcode, or one this model does not offer, or a packet-only opcode sent as a request
//   2 malformed payload (wrong size or format byte), or a reply that would not fit a frame
//   3 unsupported target or feature
//   4 value out of range (attenuation above 96, clock 0, an OKIM6258 clock other than 4 or 8 MHz,
//     no page at that offset)
//   5 conflict (clock line already set to another clock, DAC already started or stopped)

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SimADPCMStream.h"
#include "SimBoardSink.h"
#include "SimChips.h"
#include "SimFaults.h"
#include "SimKL2DAC.h"
#include "SimProfile.h"
#include "SimWavWriter.h"
#include "protocol/KLINKCodec.h"

namespace klink::sim {

inline constexpr uint8_t kStatusDone = 0;
inline constexpr uint8_t kStatusUnknownOpcode = 1;
inline constexpr uint8_t kStatusMalformed = 2;
inline constexpr uint8_t kStatusUnsupported = 3;
inline constexpr uint8_t kStatusOutOfRange = 4;
inline constexpr uint8_t kStatusConflict = 5;

// Which limit the receive buffer keeps (SimReceiveBuffer).
enum class SimReceivePhase : uint8_t {
    kFree,     // the board keeps up with the line
    kStartup,  // from RESET until the host's start-up is over
    kWindow,   // from DAC_START until RESET
};

// A reply frame ready for the line from readyNs on.
struct SimReply {
    std::vector<uint8_t> wire;
    int64_t readyNs = 0;
};

class SimBoardModel final : private SimBoardSink {
public:
    SimBoardModel(SimProfile profile, std::string name);
    SimBoardModel(const SimBoardModel&) = delete;
    SimBoardModel& operator=(const SimBoardModel&) = delete;

    // Faults take effect from the next request on; reply-rule counters restart.
    void SetFaults(SimFaults faults);
    [[nodiscard]] const SimFaults& Faults() const noexcept { return faults_; }
    // Where the board's audio goes; null for none. Not owned.
    void SetAudioOutput(SimWavWriter* wav) noexcept { wav_ = wav; }

    // One byte that finished arriving at timeNs (non-decreasing between calls).
    void Feed(uint8_t byte, int64_t timeNs);
    // One complete frame whose last byte arrived at timeNs.
    void HandleFrame(const KLINKFrame& frame, int64_t timeNs);
    // Plays the buffered streams up to timeNs.
    void AdvanceTo(int64_t timeNs);
    // The line went away (host closed the port): drop the partial frame.
    void LineLost() noexcept { decoder_.Clear(); }
    // Records a fault of the line itself (stop reading, hang-up).
    void NoteLineFault(int64_t timeNs, std::string what);

    [[nodiscard]] std::vector<SimReply> TakeReplies();
    [[nodiscard]] std::vector<SimTraceEvent> TakeTrace();

    [[nodiscard]] const std::string& Name() const noexcept { return name_; }
    [[nodiscard]] const SimProfile& Profile() const noexcept { return *profile_; }
    [[nodiscard]] const SimChips& Chips() const noexcept { return chips_; }
    [[nodiscard]] uint8_t Attenuation() const noexcept { return attenuation_; }
    [[nodiscard]] SimStreamStatus StreamStatus() const { return stream_.Status(); }
    [[nodiscard]] KL2DACStatus DACStatus(int64_t timeNs) { return dac_.Status(timeNs); }
    // True while a stream or the DAC clock is running, so time matters to the board.
    [[nodiscard]] bool Playing() const noexcept { return stream_.Playing() || dac_.Running(); }
    [[nodiscard]] uint64_t Requests() const noexcept { return requests_; }
    [[nodiscard]] uint64_t Packets() const noexcept { return packets_; }
    [[nodiscard]] uint64_t Rejected() const noexcept { return rejected_; }
    [[nodiscard]] SimReceivePhase ReceivePhase() const noexcept { return receivePhase_; }

private:
    struct Answer {
        uint8_t status = kStatusDone;
        std::vector<uint8_t> data;
    };

    void ChipWrite(int64_t timeNs, uint8_t writeId, uint8_t instance, uint8_t page, int reg, uint8_t value,
                   SimWriteSource source) override;
    void TraceAt(int64_t timeNs, SimTraceEvent event) override;
    void OKISample(int16_t sample, uint32_t sampleRate) override;
    void DACSamples(uint8_t value, uint64_t count) override;

    void Reset(int64_t timeNs);
    // A packet of `wireBytes` arrived: false when the receive buffer has no
    // room for it (the packet is dropped and the overflow recorded).
    bool TakeIntoReceiveBuffer(const KLINKFrame& f, size_t wireBytes, int64_t timeNs);
    // The board answers a request: every packet before it is taken in.
    void FreeReceiveBuffer(const KLINKFrame& f);
    Answer HandleRequest(const KLINKFrame& f, int64_t timeNs);
    void HandlePacket(const KLINKFrame& f, int64_t timeNs);
    void RegisterWrite(const KLINKFrame& f, int64_t timeNs);
    void Reject(int64_t timeNs, std::string what);
    void Fault(int64_t timeNs, std::string what);
    bool SetVolume(std::span<const uint8_t> payload, int64_t timeNs);
    Answer DeviceInfo() const;
    Answer Capabilities(std::span<const uint8_t> payload) const;
    Answer SetChipClock(std::span<const uint8_t> payload, int64_t timeNs);

    std::unique_ptr<SimProfile> profile_;  // stable address for the parts that keep a reference
    std::string name_;
    SimFaults faults_;
    std::vector<uint32_t> ruleCounts_;
    SimWavWriter* wav_ = nullptr;

    KLINKDecoder decoder_;
    SimChips chips_;
    SimADPCMStream stream_;
    SimKL2DAC dac_;
    uint8_t attenuation_ = 0;
    SimReceivePhase receivePhase_ = SimReceivePhase::kFree;  // a board not reset since it started is free
    uint64_t unansweredBytes_ = 0;                           // wire bytes of packets since the last request

    std::vector<SimReply> replies_;
    std::vector<SimTraceEvent> trace_;
    uint64_t requests_ = 0;
    uint64_t packets_ = 0;
    uint64_t rejected_ = 0;
};

// A wire frame like EncodeFrame's, but with a CRC the receiver must refuse.
[[nodiscard]] std::vector<uint8_t> EncodeFrameWithBadCrc(MessageType messageType, Opcode opcode,
                                                         uint16_t requestId,
                                                         std::span<const uint8_t> payload);

}  // namespace klink::sim
