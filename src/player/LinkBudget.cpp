#include "player/LinkBudget.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <vector>

#include "adpcm/ADPCMStreamPayloads.h"
#include "adpcm/KLINKAudioVGM.h"
#include "common/Errors.h"
#include "kl2/KL2DACCodec.h"
#include "kl2/KL2DACVGM.h"
#include "kl2/KL2RegisterState.h"
#include "player/PlaybackClock.h"
#include "protocol/KLINKCodec.h"
#include "protocol/KLINKSerialLink.h"
#include "vgm/KLINKVGM.h"

namespace klink {
namespace {

constexpr uint64_t kAudioStatusIntervalUs = 20'000;
constexpr uint64_t kDACStatusIntervalUs = 5'000;
// VGM time 0 on the ADPCM stream's time axis.
constexpr uint64_t kStreamVGMStartUs = 5'120;
constexpr uint8_t kYM2151 = 0x54;

[[nodiscard]] bool IsSN76489(uint8_t writeId) noexcept { return writeId == 0x30 || writeId == 0x50; }
[[nodiscard]] bool IsKL2Chip(uint8_t writeId) noexcept {
    return writeId == 0x52 || writeId == 0x53 || IsSN76489(writeId);
}

// Host-to-board bytes by the millisecond, and the frames that make them.
class WireLoad {
public:
    // A frame of `payload` at time `us`; returns its size on the wire.
    uint64_t Packet(uint64_t us, Opcode opcode, std::span<const uint8_t> payload) {
        return Add(us, MessageType::kPacket, opcode, payload);
    }
    // A status request at `us` and its reply of `replyPayload` bytes.
    void Poll(uint64_t us, Opcode opcode, std::span<const uint8_t> payload, size_t replyPayload) {
        (void)Add(us, MessageType::kRequest, opcode, payload);
        const std::vector<uint8_t> reply(replyPayload, 0x55);
        fromBoard_ += EncodeFrame(MessageType::kReply, opcode, requestId_, reply).size();
    }

    // A register batch as a register-write packet.
    void Registers(uint64_t us, const KLINKVGMTarget& target, std::span<const uint8_t> data) {
        const std::vector<uint8_t> payload = IsSN76489(target.writeId)
                                                 ? EncodeByteBatch(target.instance, target.page, data)
                                                 : EncodeRegisterBatch(target.instance, target.page, data);
        (void)Packet(us, WriteOpcode(target.writeId), payload);
    }

    void Finish(LinkLoad& load, uint64_t durationUs) const {
        load.durationUs = std::max<uint64_t>(durationUs, perMs_.size() * 1000);
        load.toBoardBytes = total_;
        load.fromBoardBytes = fromBoard_;
        // The busiest window of 1000 ms, sliding by 1 ms; it is said to begin
        // at its first byte.
        uint64_t sum = 0;
        size_t bestEnd = 0;
        load.peakBytes = 0;
        for (size_t end = 0; end < perMs_.size(); ++end) {
            sum += perMs_[end];
            if (end >= 1000) sum -= perMs_[end - 1000];
            if (sum > load.peakBytes) {
                load.peakBytes = sum;
                bestEnd = end;
            }
        }
        size_t start = bestEnd >= 999 ? bestEnd - 999 : 0;
        while (start < bestEnd && perMs_[start] == 0) ++start;
        load.peakStartUs = static_cast<uint64_t>(start) * 1000;
    }

private:
    uint64_t Add(uint64_t us, MessageType type, Opcode opcode, std::span<const uint8_t> payload) {
        const uint64_t bytes = EncodeFrame(type, opcode, ++requestId_, payload).size();
        const size_t ms = static_cast<size_t>(us / 1000);
        if (ms >= perMs_.size()) perMs_.resize(ms + 1, 0);
        perMs_[ms] += bytes;
        total_ += bytes;
        return bytes;
    }

    std::vector<uint64_t> perMs_;
    uint64_t total_ = 0;
    uint64_t fromBoard_ = 0;
    uint16_t requestId_ = 0;
};

// Consecutive writes to one target, at most 254 bytes, as RegisterWriter batches them.
class Batcher {
public:
    explicit Batcher(WireLoad& wire) : wire_(wire) {}

    void Write(uint64_t us, const KLINKVGMTarget& target, uint8_t reg, uint8_t value) {
        if (!data_.empty() && target != target_) Flush();
        const size_t width = IsSN76489(target.writeId) ? 1 : 2;
        if (data_.size() + width > static_cast<size_t>(kMaxBatchBytes)) Flush();
        target_ = target;
        us_ = us;
        if (width == 2) data_.push_back(reg);
        data_.push_back(value);
    }
    void Flush() {
        if (data_.empty()) return;
        wire_.Registers(us_, target_, data_);
        data_.clear();
    }

private:
    WireLoad& wire_;
    KLINKVGMTarget target_{};
    uint64_t us_ = 0;
    std::vector<uint8_t> data_;
};

uint64_t SamplesToUs(uint64_t samples) { return samples * 1'000'000 / kVGMSampleRate; }

void MeasureRegisterPath(const VGMAnalysis& file, WireLoad& wire, LinkLoad& load) {
    const std::span<const uint8_t> bytes(file.vgmBuffer);
    std::optional<KL2RegisterState> kl2;
    if (file.hasKl2Registers && !file.useKl2Dac) kl2.emplace();
    Batcher batch(wire);
    uint64_t samples = 0;
    uint32_t pointer = file.dataOffset;
    for (;;) {
        KLINKVGMTarget target;
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        const VGMDecodeKind kind = DecodeRegisterCommand(bytes, pointer, target, reg, value, wait);
        if (kind == VGMDecodeKind::kEnd) break;
        if (kind == VGMDecodeKind::kRegisterWrite) {
            const uint64_t us = SamplesToUs(samples);
            if (kl2 && IsKL2Chip(target.writeId)) {
                uint8_t prefix = 0;
                try {
                    if (kl2->Transform(target, reg, value, prefix)) batch.Write(us, target, reg, prefix);
                } catch (const Error&) {
                    // A write the board refuses fails playback, not the budget.
                }
            }
            batch.Write(us, target, reg, value);
        } else if ((kind == VGMDecodeKind::kWait || kind == VGMDecodeKind::kDACEvent) && wait > 0) {
            batch.Flush();  // the writes of one position leave when it falls due
            samples += wait;
        }
    }
    batch.Flush();
    wire.Finish(load, SamplesToUs(samples));
}

void MeasureADPCMPath(const VGMAnalysis& file, WireLoad& wire, LinkLoad& load) {
    KLINKAudioVGM source(file.vgmBuffer, file.dataOffset, file.vgmLoopOffset, file.okiClock, file.okiDivider,
                         1, 0);
    const KLINKVGMTarget ym{kYM2151, 0, 0};
    const std::vector<uint8_t>& initial = source.InitialYM();
    for (size_t at = 0; at < initial.size(); at += kMaxBatchBytes) {
        const size_t n = std::min<size_t>(kMaxBatchBytes, initial.size() - at);
        wire.Registers(0, ym, std::span(initial).subspan(at, n));
    }
    (void)wire.Packet(0, Opcode::kStreamStart, EncodeStreamStart(file.okiClock, file.okiDivider));
    const std::array<uint8_t, 2> statusPayload{0xB7, 0x00};
    auto trackUs = [](uint64_t streamUs) {
        return streamUs > kStreamVGMStartUs ? streamUs - kStreamVGMStartUs : 0;
    };
    uint64_t nextPoll = 0;
    uint32_t position = 0;
    std::vector<uint8_t> pcm;
    std::vector<AudioEvent> events;
    std::vector<AudioEvent> boardEvents;
    Batcher external(wire);
    uint64_t externalUs = 0;
    for (;;) {
        const uint64_t t = trackUs(source.TimeUs());
        while (nextPoll <= t) {
            wire.Poll(nextPoll, Opcode::kAudioStatus, statusPayload, 1 + kAudioDiagnosticsBytes);
            nextPoll += kAudioStatusIntervalUs;
        }
        if (!source.Next(position, pcm, events)) break;
        boardEvents.clear();
        for (const AudioEvent& e : events) {
            if (IsBoardEvent(e.kind)) {
                boardEvents.push_back(e);
                continue;
            }
            // Other chips' writes: those due together go out as one flush.
            const std::span<const uint8_t> p = e.Payload();
            const uint64_t us = trackUs(e.timeUs);
            if (us != externalUs) external.Flush();
            externalUs = us;
            external.Write(us, KLINKVGMTarget{p[0], p[1], p[2]}, p[3], p[4]);
        }
        external.Flush();
        for (const auto& payload : EncodeStreamEvents(boardEvents))
            (void)wire.Packet(t, Opcode::kStreamEvents, payload);
        if (!pcm.empty()) (void)wire.Packet(t, Opcode::kStreamData, EncodeStreamData(position, pcm));
        if (source.Finished()) {
            (void)wire.Packet(t, Opcode::kStreamEvents,
                              EncodeStreamEnd(source.BytePosition(), source.SilenceByte()));
        }
    }
    wire.Finish(load, trackUs(source.TimeUs()));
}

uint64_t TicksToUs(uint64_t ticks) { return ticks * 1'000'000 / kKL2TickRate; }

void MeasureKL2DACPath(const VGMAnalysis& file, WireLoad& wire, LinkLoad& load) {
    KL2DACVGM source(file.vgmBuffer, file.dataOffset, file.vgmLoopOffset, 1, 0);
    const std::vector<uint8_t> statusPayload = EncodeKL2DACStatusRequest();
    KL2DACChunk chunk;
    uint32_t sequence = 0;
    uint64_t nextPoll = 0;
    while (source.Next(chunk, kKL2MaxRecordsPerPacket)) {
        const uint64_t t = TicksToUs(chunk.startTick);
        while (nextPoll <= t) {
            wire.Poll(nextPoll, Opcode::kDACStatus, statusPayload, 1 + kKL2StatusRecordSize);
            nextPoll += kDACStatusIntervalUs;
        }
        const std::vector<KL2RegisterEvent>& events = chunk.events;
        for (size_t i = 0; i < events.size();) {
            const KL2RegisterEvent& e = events[i];
            if (e.initial) {
                // Start-up state: one write each, at once.
                const std::array<uint8_t, 2> pair{e.address, e.value};
                wire.Registers(t, e.target,
                               IsSN76489(e.target.writeId) ? std::span<const uint8_t>(&e.value, 1)
                                                           : std::span<const uint8_t>(pair));
                ++i;
                continue;
            }
            const size_t most = IsSN76489(e.target.writeId) ? kKL2MaxOneByteEvents : kKL2MaxTwoByteEvents;
            size_t n = 1;
            while (i + n < events.size() && n < most && !events[i + n].initial &&
                   events[i + n].tick == e.tick && events[i + n].target == e.target) {
                ++n;
            }
            (void)wire.Packet(
                TicksToUs(e.tick), Opcode::kRegisterEvents,
                EncodeKL2RegisterEvents(events, static_cast<int32_t>(i), static_cast<int32_t>(n)));
            i += n;
        }
        if (!chunk.records.empty()) {
            (void)wire.Packet(t, Opcode::kDACRecords, EncodeKL2DACRecords(sequence, chunk));
            sequence += static_cast<uint32_t>(chunk.records.size());
        }
    }
    (void)wire.Packet(TicksToUs(source.EndTick()), Opcode::kDACEnd,
                      EncodeKL2DACEnd(sequence, source.EndTick()));
    wire.Finish(load, TicksToUs(source.EndTick()));
}

}  // namespace

uint64_t LinkLoad::AverageBytesPerSecond() const noexcept {
    if (durationUs < 1'000'000) return peakBytes;
    return toBoardBytes * 1'000'000 / durationUs;
}

LinkLoad MeasureLinkLoad(const VGMAnalysis& analysis) {
    LinkLoad load;
    load.path = PlaybackPathFor(analysis);
    WireLoad wire;
    switch (load.path) {
        case VGMPlaybackPath::kRegister:
            MeasureRegisterPath(analysis, wire, load);
            break;
        case VGMPlaybackPath::kADPCM:
            MeasureADPCMPath(analysis, wire, load);
            break;
        case VGMPlaybackPath::kKL2DAC:
            MeasureKL2DACPath(analysis, wire, load);
            break;
    }
    return load;
}

std::string FormatTrackTime(uint64_t us) {
    const uint64_t tenths = us / 100'000;
    return fmt::format("{}:{:02}.{}", tenths / 600, tenths / 10 % 60, tenths % 10);
}

}  // namespace klink
