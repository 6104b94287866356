#pragma once
// KLINKSerialLink: the host's KLINK endpoint on one open serial port. It
// encodes requests and packets, queues them on the port's buffered writer
// (bound to the link when it is made; see KLINKConnection for the pair),
// reads the port handle directly to collect replies, matches each reply to
// the one outstanding request, keeps packets within the startup and receive
// windows, and gives up after fixed time-outs or when the caller cancels.
//
// One request is outstanding at a time. Not thread-safe: a link is used only
// by the thread that drives the playback, while nobody else reads the port.
// After any failure the link stays usable; the next request starts afresh.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/OSHandle.h"
#include "protocol/KLINKCapabilities.h"
#include "protocol/KLINKCodec.h"
#include "protocol/KLINKReceiveWindow.h"
#include "protocol/KLINKStartupWindow.h"
#include "vgm/VGMChips.h"

namespace klink {

class BufferedSerialWriter;

// Answers whether the current operation must stop; empty never cancels.
// Blocking operations then raise AbortError "Playback cancelled.".
using KLINKCancel = std::function<bool()>;

// Milliseconds a reply may take once the writer has handed the request to the port.
inline constexpr uint64_t kReplyTimeoutMs = 1000;
// Milliseconds a request started by BeginAudioStatus may stay unanswered.
inline constexpr uint64_t kAudioStatusTimeoutMs = 1000;
// PumpInput reads at most this many rounds of at most this many bytes.
inline constexpr int kPumpRounds = 4;
inline constexpr int kPumpChunkBytes = 4096;
// Reply data of AUDIO_STATUS: ten unsigned 32-bit little-endian values.
inline constexpr int kAudioDiagnosticsBytes = 40;
// Flag bits of the ADPCM diagnostics.
inline constexpr uint32_t kAudioFinished = 0x02;
inline constexpr uint32_t kAudioFailed = 0x04;
// Largest attenuation SET_OUTPUT_VOLUME accepts (0 = full volume).
inline constexpr uint8_t kMaxAttenuation = 96;

// One ADPCM diagnostics reply: the log line and the two state bits.
struct AudioStatusReport {
    // "ADPCM: accepted=..., ..." with the failure reasons, if any.
    std::string text;
    bool finished = false;    // the stream has played to its end
    bool failed = false;      // the board gave the stream up
    uint32_t underflows = 0;  // times the board's stream buffer ran dry
    uint32_t lateEvents = 0;  // events applied after their position had played

    friend bool operator==(const AudioStatusReport&, const AudioStatusReport&) = default;
};

// The link's time source: a monotonic millisecond tick and a sleep. The
// default is the platform's; tests may drive a fake one.
struct KLINKLinkClock {
    std::function<uint64_t()> nowMs;
    std::function<void(uint32_t)> sleepMs;

    [[nodiscard]] static KLINKLinkClock System();
};

class KLINKSerialLink {
public:
    // Bound to `writer` for its whole life: every request and packet is
    // queued there (the writer must outlive the link). No port is attached
    // yet; the request ID starts from the low 16 bits of the millisecond
    // tick, so consecutive links start from different IDs.
    explicit KLINKSerialLink(BufferedSerialWriter& writer, KLINKLinkClock clock = KLINKLinkClock::System());
    KLINKSerialLink(const KLINKSerialLink&) = delete;
    KLINKSerialLink& operator=(const KLINKSerialLink&) = delete;
    ~KLINKSerialLink() = default;

    // Reads replies from `port` from now on (the port stays owned by whoever
    // opened it; normally the port the writer writes to). Both windows
    // become inactive with zero counters, the decoder and any pending
    // AUDIO_STATUS or reply are forgotten.
    void AttachPort(platform::OSHandle port) noexcept;
    void DetachPort() noexcept;
    [[nodiscard]] platform::OSHandle Port() const noexcept { return port_; }
    [[nodiscard]] BufferedSerialWriter& Writer() const noexcept { return writer_; }

    // --- requests, replies and packets -------------------------------------

    // Sends a request and waits for its reply: first for a pending
    // AUDIO_STATUS (whose answer is discarded), then until the writer has
    // handed the request to the port, then up to 1000 ms. Returns the reply
    // data after the status byte. ReadError for a missing port, a time-out,
    // an empty or rejected reply; AbortError when `cancel` says stop.
    [[nodiscard]] std::vector<uint8_t> Request(Opcode opcode, std::span<const uint8_t> payload,
                                               const KLINKCancel& cancel = {});

    // Queues a request without waiting; collect its reply with TryControlReply.
    void BeginRequest(Opcode opcode, std::span<const uint8_t> payload);

    // Polls the port once. The reply data after the status byte once the
    // reply to the outstanding request has come (a rejected status raises
    // ReadError); nothing while it is still out. Never waits.
    [[nodiscard]] std::optional<std::vector<uint8_t>> TryControlReply();

    // Sends a packet within the windows. False, with nothing queued, when the
    // receive window has no room (the request ID has advanced all the same).
    // SET_OUTPUT_VOLUME always counts as a control packet.
    [[nodiscard]] bool TrySendPacket(Opcode opcode, std::span<const uint8_t> payload,
                                     const KLINKCancel& cancel = {}, bool control = false);
    // The same as a data packet; a full window raises WriteError
    // "KLINK receive window is full; wait for a STATUS reply.".
    void SendPacket(Opcode opcode, std::span<const uint8_t> payload, const KLINKCancel& cancel = {});

    // Starts limiting packets to 4096 bytes in flight (6144 for control
    // packets) until a reply confirms them. Called after DAC_START.
    void BeginReceiveWindow() noexcept;
    // Data-packet bytes that may still be sent; 2147483647 while no receive window is active.
    [[nodiscard]] int32_t AvailableReceiveBytes() const noexcept { return receive_.Available(); }

    // --- device operations -------------------------------------------------

    // PING with "KLINK", up to three attempts; the echo must match exactly.
    void Probe(const KLINKCancel& cancel = {});
    // DEVICE_INFO: returns "<model> / Firmware <firmware>" and keeps the model as DeviceName.
    [[nodiscard]] std::string DeviceInfo(const KLINKCancel& cancel = {});
    // RESET; afterwards both windows are inactive.
    void Reset(const KLINKCancel& cancel = {});
    // Fences start-up packets every 2048 bytes from now on.
    void BeginStartup() noexcept;
    // A final empty PING; then the startup window stops limiting.
    void SynchronizeStartup(const KLINKCancel& cancel = {});
    // Reads the capability table and checks the payload size, and the YM2151
    // BURST and ADPCM stream features when `useYm` / `useAudio` ask for them.
    void CheckCapabilities(bool useYm, bool useAudio, const KLINKCancel& cancel = {});
    // SET_OUTPUT_VOLUME, `attenuation` 0 (full volume) .. 96. With
    // `waitForReply` false it goes out as a control packet.
    void SetOutputVolume(uint8_t attenuation, const KLINKCancel& cancel = {}, bool waitForReply = true);
    // SET_CHIP_CLOCK; a fixed clock that already matches sends nothing.
    void SetChipClock(uint8_t writeId, uint8_t instance, uint32_t hertz, const KLINKCancel& cancel = {});
    // Register pairs for YM2151 instance 0, page 0.
    void WriteYM2151(std::span<const uint8_t> data, const KLINKCancel& cancel = {});
    // One register batch (or byte batch for the SN76489 targets) as a packet.
    // Raising: a full receive window is a WriteError.
    void WriteRegisters(uint8_t writeId, uint8_t instance, uint8_t page, std::span<const uint8_t> data,
                        const KLINKCancel& cancel = {});
    // The same; false, with nothing queued, when the receive window is full.
    [[nodiscard]] bool TryWriteRegisters(uint8_t writeId, uint8_t instance, uint8_t page,
                                         std::span<const uint8_t> data, const KLINKCancel& cancel = {});
    // STREAM_DATA, STREAM_EVENTS or STREAM_START as a data packet.
    void AudioPacket(Opcode opcode, std::span<const uint8_t> payload, const KLINKCancel& cancel = {});
    // AUDIO_STATUS, waiting for the reply; returns what DescribeAudioStatus makes of it.
    [[nodiscard]] AudioStatusReport AudioStatus(const KLINKCancel& cancel = {});
    // Queues AUDIO_STATUS without waiting, unless one is pending already.
    void BeginAudioStatus();
    // Collects the pending AUDIO_STATUS reply if it has come. Nothing while
    // none is pending or its reply is still out; ReadError "KLINK
    // AUDIO_STATUS timeout." 1000 ms after it was queued. Never waits.
    [[nodiscard]] std::optional<AudioStatusReport> PollAudioStatus();
    // Checks and describes the 40-byte ADPCM diagnostics and keeps accepted,
    // played, pending and flags. Needs no port.
    [[nodiscard]] AudioStatusReport DescribeAudioStatus(std::span<const uint8_t> data);

    // --- state -------------------------------------------------------------

    [[nodiscard]] const std::string& DeviceName() const noexcept { return deviceName_; }
    [[nodiscard]] const KLINKCapabilities& Capabilities() const noexcept { return capabilities_; }
    [[nodiscard]] uint32_t AudioAccepted() const noexcept { return audioAccepted_; }
    [[nodiscard]] uint32_t AudioPlayed() const noexcept { return audioPlayed_; }
    [[nodiscard]] uint32_t AudioPending() const noexcept { return audioPending_; }
    [[nodiscard]] uint32_t AudioFlags() const noexcept { return audioFlags_; }
    // The request ID used last (packets advance it too).
    [[nodiscard]] uint16_t RequestID() const noexcept { return requestId_; }
    [[nodiscard]] bool AudioStatusPending() const noexcept { return statusPending_; }

protected:
    // Lets tests start from a known request ID.
    void SetRequestID(uint16_t value) noexcept { requestId_ = value; }

private:
    void PumpInput();
    [[nodiscard]] std::vector<uint8_t> TakeReply();
    [[nodiscard]] bool TrySubmitFrame(std::span<const uint8_t> frame, const KLINKCancel& cancel,
                                      bool control);
    void SubmitFrame(std::span<const uint8_t> frame, const KLINKCancel& cancel);
    void WaitForPendingAudioStatus();
    uint16_t NextRequestID() noexcept;

    BufferedSerialWriter& writer_;
    KLINKLinkClock clock_;
    platform::OSHandle port_ = platform::kInvalidOSHandle;
    std::string deviceName_;
    KLINKCapabilities capabilities_;
    uint32_t audioAccepted_ = 0;
    uint32_t audioPlayed_ = 0;
    uint32_t audioPending_ = 0;
    uint32_t audioFlags_ = 0;
    bool statusPending_ = false;
    uint64_t statusStarted_ = 0;
    KLINKDecoder decoder_;
    uint16_t requestId_ = 0;
    Opcode expectedOpcode_ = Opcode::kReset;
    uint16_t expectedRequest_ = 0;
    bool hasReply_ = false;
    std::vector<uint8_t> reply_;
    KLINKStartupWindow startup_;
    KLINKReceiveWindow receive_;
    uint64_t expectedReceiveFence_ = 0;
    std::vector<uint8_t> readBuffer_;
};

}  // namespace klink
