#pragma once
// A scripted board on a pseudo-terminal: a thread decodes every frame the
// host sends, records it, and answers through a script that a test can
// replace. The default script behaves like a small well-formed board.
//
// QuietClock is a fake millisecond clock for the link: while the board has
// nothing left to read and the writer nothing left to write, each 1 ms sleep
// of the link moves it 50 ms on, so a time-out that can only end one way
// passes in a few real milliseconds without ever racing a reply.

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "common/Bytes.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "protocol/KLINKCapabilities.h"
#include "protocol/KLINKCodec.h"
#include "protocol/KLINKSerialLink.h"
#include "transport/BufferedSerialWriter.h"

namespace klink::test {

using Bytes = std::vector<uint8_t>;

// The wire bytes of a reply to `request` with `payload` (status byte included).
inline Bytes ReplyTo(const KLINKFrame& request, const Bytes& payload) {
    return EncodeFrame(MessageType::kReply, request.opcode, request.requestId, payload);
}

// The byte arrays below are sized first, then filled: GCC 12 at -O3 misreads
// a short vector grown by insert as written out of bounds (-Warray-bounds).
inline Bytes WithStatus(uint8_t status, const Bytes& data = {}) {
    Bytes out(1 + data.size());
    out[0] = status;
    std::copy(data.begin(), data.end(), out.begin() + 1);
    return out;
}

inline Bytes DeviceInfoData(const std::string& model, const std::string& firmware) {
    Bytes out(2 + model.size() + firmware.size());
    out[0] = static_cast<uint8_t>(model.size());
    auto rest = std::copy(model.begin(), model.end(), out.begin() + 1);
    *rest++ = static_cast<uint8_t>(firmware.size());
    std::copy(firmware.begin(), firmware.end(), rest);
    return out;
}

// The 40-byte ADPCM diagnostics, ten values in order.
inline Bytes AudioDiagnostics(const std::array<uint32_t, 10>& values) {
    Bytes out;
    for (uint32_t v : values) {
        AppendLE32(out, v);
    }
    return out;
}

// A two-page table: YM2151 (variable, BURST + events + clock), YM2413
// (fixed 3579545 Hz), AY-3-8910, SN76489 and the OKIM6258 stream target.
inline std::vector<KLINKCapabilityPage> DefaultCapabilityPages() {
    KLINKCapabilityPage first;
    first.maxPayload = 256;
    first.dataCapacity = 65536;
    first.eventCapacity = 256;
    first.controlFeatures = kControlAttenuation;
    first.nextOffset = 3;
    first.entries = {
        {0x54, 0, 0, 0x07, ClockMode::kVariable, 0},
        {0x51, 0, 0, 0x01, ClockMode::kFixed, 3579545},
        {0xA0, 0, 0, 0x05, ClockMode::kVariable, 0},
    };
    KLINKCapabilityPage second = first;
    second.nextOffset = kCapabilitiesEnd;
    second.entries = {
        {0x50, 0, 0, 0x01, ClockMode::kFixed, 3579545},
        {0xB7, 0, 0, 0x0C, ClockMode::kVariable, 0},
        {0x5A, 0, 0, 0x01, ClockMode::kUnknown, 0},
    };
    return {first, second};
}

class ScriptedBoard {
public:
    // Returns the wire bytes to send back for one received frame (empty: no answer).
    using Script = std::function<Bytes(const KLINKFrame& frame)>;

    // With `openHostSide` false the host side stays closed, for code that
    // opens DevicePath() itself.
    explicit ScriptedBoard(bool openHostSide = true) {
        if (openHostSide) {
            port_ = platform::UniqueSerialPort(platform::OpenSerialPort(pty_.SlavePath()));
            platform::ConfigureSerialPort(port_.Get(), {});
            ConfigureWriteTimeouts(port_.Get());
        }
        pages_ = DefaultCapabilityPages();
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedBoard() {
        stop_ = true;
        thread_.join();
    }
    ScriptedBoard(const ScriptedBoard&) = delete;
    ScriptedBoard& operator=(const ScriptedBoard&) = delete;

    // The host's side of the line, already configured as the window configures it.
    [[nodiscard]] platform::OSHandle Port() const { return port_.Get(); }
    // The device the host opens.
    [[nodiscard]] const std::string& DevicePath() const { return pty_.SlavePath(); }

    void SetScript(Script script) {
        std::lock_guard lock(mutex_);
        script_ = std::move(script);
    }
    void SetPages(std::vector<KLINKCapabilityPage> pages) {
        std::lock_guard lock(mutex_);
        pages_ = std::move(pages);
    }
    void SetDeviceInfo(Bytes data) {
        std::lock_guard lock(mutex_);
        deviceInfo_ = std::move(data);
    }

    // What a well-formed board answers; scripts fall back to it.
    Bytes DefaultAnswer(const KLINKFrame& f) const {
        if (f.messageType != MessageType::kRequest) {
            return {};
        }
        switch (f.opcode) {
            case Opcode::kPing:
                return ReplyTo(f, WithStatus(0, f.payload));
            case Opcode::kDeviceInfo:
                return ReplyTo(f, WithStatus(0, deviceInfo_));
            case Opcode::kCapabilities: {
                const uint16_t offset = static_cast<uint16_t>(f.payload.at(0) | (f.payload.at(1) << 8));
                uint16_t at = 0;
                for (const auto& page : pages_) {
                    if (at == offset) {
                        return ReplyTo(f, WithStatus(0, EncodeCapabilityPage(page)));
                    }
                    at = page.nextOffset;
                }
                return ReplyTo(f, WithStatus(5));
            }
            case Opcode::kAudioStatus:
                return ReplyTo(f, WithStatus(0, AudioDiagnostics({100, 40, 60, 0, 0, 0, 80, 0, 0, 0})));
            default:
                return ReplyTo(f, WithStatus(0));
        }
    }

    // Every frame received so far, in order.
    std::vector<KLINKFrame> Frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    // Wire bytes of every packet received so far.
    size_t PacketBytes() {
        std::lock_guard lock(mutex_);
        return packetBytes_;
    }
    // Waits until `count` frames have come (or 5 s passed).
    bool WaitFrames(size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (Frames().size() < count) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Sends raw bytes to the host now.
    void Send(const Bytes& bytes) {
        std::lock_guard lock(mutex_);
        pty_.Send(bytes);
    }

    // True when every byte the host wrote has been read and answered.
    bool Quiet() {
        std::lock_guard lock(mutex_);
        int queued = 0;
        return ioctl(pty_.MasterFd(), FIONREAD, &queued) == 0 && queued == 0;
    }

private:
    void Run() {
        KLINKDecoder decoder;
        KLINKFrame frame;
        uint8_t buffer[4096];
        while (!stop_) {
            bool got = false;
            {
                std::lock_guard lock(mutex_);
                const ssize_t n = read(pty_.MasterFd(), buffer, sizeof buffer);
                if (n > 0) {
                    got = true;
                    for (ssize_t i = 0; i < n; ++i) {
                        if (!decoder.Feed(buffer[i], 0, frame)) {
                            continue;
                        }
                        frames_.push_back(frame);
                        if (frame.messageType == MessageType::kPacket) {
                            packetBytes_ +=
                                EncodeFrame(frame.messageType, frame.opcode, frame.requestId, frame.payload)
                                    .size();
                        }
                        const Bytes answer = script_ ? script_(frame) : DefaultAnswer(frame);
                        if (!answer.empty()) {
                            pty_.Send(answer);
                        }
                    }
                }
            }
            if (!got) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

    testing::PtyPair pty_;
    platform::UniqueSerialPort port_;
    std::mutex mutex_;
    Script script_;
    std::vector<KLINKCapabilityPage> pages_;
    Bytes deviceInfo_ = DeviceInfoData("Keltra Test", "1.0");
    std::vector<KLINKFrame> frames_;
    size_t packetBytes_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A link clock that jumps ahead while nothing is in transit (see above).
class QuietClock {
public:
    QuietClock(ScriptedBoard& board, BufferedSerialWriter& writer, uint64_t startMs = 0x10000)
        : board_(board), writer_(writer), now_(startMs) {}

    KLINKLinkClock Clock() {
        return {[this] { return now_.load(); },
                [this](uint32_t ms) {
                    platform::SleepMs(ms);
                    const bool idle = writer_.PendingBytes() == 0 && board_.Quiet();
                    now_ += idle ? 50 : ms;
                }};
    }
    void Advance(uint64_t ms) { now_ += ms; }
    [[nodiscard]] uint64_t Now() const { return now_.load(); }

private:
    ScriptedBoard& board_;
    BufferedSerialWriter& writer_;
    std::atomic<uint64_t> now_;
};

}  // namespace klink::test
