#pragma once
// KLINKConnection: one board connection. It owns the buffered writer thread
// that owns the port's output and the serial link that speaks KLINK over the
// same port, bound to that writer, so every operation goes to its own board.
// The router holds one per connected port; the playback paths take the one
// the route plan names and talk to it directly.
//
// Not thread-safe, like the link: only the playback thread calls it. The
// writer is a thread of its own.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/OSHandle.h"
#include "protocol/KLINKCapabilities.h"
#include "protocol/KLINKCodec.h"
#include "protocol/KLINKSerialLink.h"
#include "transport/BufferedSerialWriter.h"

namespace klink {

class KLINKConnection {
public:
    // Starts a writer thread on `port` and attaches a link to it. The port
    // stays owned by the caller and must stay open until this connection is
    // destroyed.
    explicit KLINKConnection(platform::OSHandle port, KLINKLinkClock clock = KLINKLinkClock::System());
    // The same with a writer of the caller's making (tests: a fake port or a
    // clock that watches the writer). `writer` must not be null.
    KLINKConnection(std::unique_ptr<BufferedSerialWriter> writer, platform::OSHandle port,
                    KLINKLinkClock clock = KLINKLinkClock::System());
    // Frees the link, then shuts the writer down (what is queued is still
    // written).
    ~KLINKConnection() = default;
    KLINKConnection(const KLINKConnection&) = delete;
    KLINKConnection& operator=(const KLINKConnection&) = delete;

    // The parts, for what the operations below do not cover.
    [[nodiscard]] KLINKSerialLink& Link() noexcept { return link_; }
    [[nodiscard]] const KLINKSerialLink& Link() const noexcept { return link_; }
    [[nodiscard]] BufferedSerialWriter& Writer() noexcept { return *writer_; }

    // --- the link's requests, replies and packets (see KLINKSerialLink) ----

    [[nodiscard]] std::vector<uint8_t> Request(Opcode opcode, std::span<const uint8_t> payload,
                                               const KLINKCancel& cancel = {}) {
        return link_.Request(opcode, payload, cancel);
    }
    void BeginRequest(Opcode opcode, std::span<const uint8_t> payload) {
        link_.BeginRequest(opcode, payload);
    }
    [[nodiscard]] std::optional<std::vector<uint8_t>> TryControlReply() { return link_.TryControlReply(); }
    [[nodiscard]] bool TrySendPacket(Opcode opcode, std::span<const uint8_t> payload,
                                     const KLINKCancel& cancel = {}, bool control = false) {
        return link_.TrySendPacket(opcode, payload, cancel, control);
    }
    void SendPacket(Opcode opcode, std::span<const uint8_t> payload, const KLINKCancel& cancel = {}) {
        link_.SendPacket(opcode, payload, cancel);
    }
    void BeginReceiveWindow() noexcept { link_.BeginReceiveWindow(); }
    [[nodiscard]] int32_t AvailableReceiveBytes() const noexcept { return link_.AvailableReceiveBytes(); }

    // --- the link's device operations --------------------------------------

    void Probe(const KLINKCancel& cancel = {}) { link_.Probe(cancel); }
    [[nodiscard]] std::string DeviceInfo(const KLINKCancel& cancel = {}) { return link_.DeviceInfo(cancel); }
    void Reset(const KLINKCancel& cancel = {}) { link_.Reset(cancel); }
    void BeginStartup() noexcept { link_.BeginStartup(); }
    void SynchronizeStartup(const KLINKCancel& cancel = {}) { link_.SynchronizeStartup(cancel); }
    void CheckCapabilities(bool useYm, bool useAudio, const KLINKCancel& cancel = {}) {
        link_.CheckCapabilities(useYm, useAudio, cancel);
    }
    void SetOutputVolume(uint8_t attenuation, const KLINKCancel& cancel = {}, bool waitForReply = true) {
        link_.SetOutputVolume(attenuation, cancel, waitForReply);
    }
    void SetChipClock(uint8_t writeId, uint8_t instance, uint32_t hertz, const KLINKCancel& cancel = {}) {
        link_.SetChipClock(writeId, instance, hertz, cancel);
    }
    void WriteYM2151(std::span<const uint8_t> data, const KLINKCancel& cancel = {}) {
        link_.WriteYM2151(data, cancel);
    }
    void WriteRegisters(uint8_t writeId, uint8_t instance, uint8_t page, std::span<const uint8_t> data,
                        const KLINKCancel& cancel = {}) {
        link_.WriteRegisters(writeId, instance, page, data, cancel);
    }
    [[nodiscard]] bool TryWriteRegisters(uint8_t writeId, uint8_t instance, uint8_t page,
                                         std::span<const uint8_t> data, const KLINKCancel& cancel = {}) {
        return link_.TryWriteRegisters(writeId, instance, page, data, cancel);
    }
    void AudioPacket(Opcode opcode, std::span<const uint8_t> payload, const KLINKCancel& cancel = {}) {
        link_.AudioPacket(opcode, payload, cancel);
    }
    [[nodiscard]] AudioStatusReport AudioStatus(const KLINKCancel& cancel = {}) {
        return link_.AudioStatus(cancel);
    }
    void BeginAudioStatus() { link_.BeginAudioStatus(); }
    [[nodiscard]] std::optional<AudioStatusReport> PollAudioStatus() { return link_.PollAudioStatus(); }

    [[nodiscard]] const std::string& DeviceName() const noexcept { return link_.DeviceName(); }
    [[nodiscard]] const KLINKCapabilities& Capabilities() const noexcept { return link_.Capabilities(); }

    // --- the writer (see BufferedSerialWriter) -------------------------------

    // Bytes queued, being written, and waiting in the driver's output queue.
    [[nodiscard]] int64_t PendingBytes() { return writer_->PendingBytes(); }
    // Waits up to 2 s until everything queued has been handed to the port.
    void Drain() { writer_->Drain(); }
    // Drain, then lower the backlog limit to 8192 bytes for timed streaming.
    void PreparePlayback() { writer_->PreparePlayback(); }
    // Writes what is queued and ends the writer thread; later sends fail.
    void Shutdown() { writer_->Shutdown(); }

private:
    // Declared first: the link refers to it, so it is made first and freed last.
    std::unique_ptr<BufferedSerialWriter> writer_;
    KLINKSerialLink link_;
};

}  // namespace klink
