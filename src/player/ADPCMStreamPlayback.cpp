#include "player/ADPCMStreamPlayback.h"

#include <algorithm>
#include <exception>
#include <span>
#include <string>

#include "adpcm/ADPCMStreamPayloads.h"
#include "common/Errors.h"

namespace klink {

namespace {

// Stream the host keeps sent ahead of the board.
constexpr uint64_t kLeadUs = 80000;
constexpr uint64_t kStatusIntervalUs = 20000;
// The started bit must show within this time of STREAM_START.
constexpr uint64_t kStartConfirmUs = 1000000;
// The board is given this long past the stream's end time before it counts
// as stuck, and must then have stopped playing for kStallUs.
constexpr uint64_t kEndGraceUs = 100000;
constexpr uint64_t kStallUs = 1000000;
// Bytes the host lets wait for the line before it sends more stream: 100 ms
// of a 115200-baud UART. On a line too slow for the stream the board then
// runs dry and counts underflows, while status requests still get through
// within their reply time; a USB line never holds this much.
constexpr int64_t kLineBacklogBytes = 1152;
// The loop does not sleep while an other-chip write is due this soon.
constexpr uint64_t kExternalSpinUs = 2000;
// Stream time of VGM time 0.
constexpr uint64_t kVGMOriginUs = 5120;
// AUDIO_STATUS flag: the board has started the stream.
constexpr uint32_t kAudioStarted = 0x01;
// YM2151 state before the stream: bytes (127 register pairs) per write packet.
constexpr size_t kInitialYMPiece = 254;

}  // namespace

ADPCMStreamPlayback::ADPCMStreamPlayback(const PlaybackContext& context)
    : context_(context),
      connection_(context.router.AudioConnection()),
      writer_(context, false),
      source_(context.file.vgmBuffer, context.file.dataOffset, context.file.vgmLoopOffset,
              context.file.okiClock, context.file.okiDivider, context.repeatCount, context.fadeSeconds),
      sender_(source_, connection_, context.cancel) {}

void ADPCMStreamPlayback::Play() {
    try {
        if (SetUp()) {
            Stream();
            Finish();
        }
    } catch (...) {
        CleanUp();
        throw;
    }
    CleanUp();
}

bool ADPCMStreamPlayback::SetUp() {
    context_.report = connection_.AudioStatus(context_.cancel).text;
    const KLINKSerialLink& link = connection_.Link();
    if (link.AudioAccepted() != 0 || link.AudioPlayed() != 0 || link.AudioPending() != 0 ||
        link.AudioFlags() != 0) {
        throw ReadError("ADPCM stream was not cleared by RESET.");
    }

    const std::span<const uint8_t> initial(source_.InitialYM());
    for (size_t at = 0; at < initial.size() && !context_.StopRequested(); at += kInitialYMPiece) {
        connection_.WriteYM2151(initial.subspan(at, std::min(kInitialYMPiece, initial.size() - at)),
                                context_.cancel);
    }
    while (!context_.StopRequested() && !source_.Finished() && source_.TimeUs() < kLeadUs) {
        SendNextChunk();
    }
    if (context_.StopRequested()) {
        return false;
    }

    context_.router.SynchronizeStartup(context_.cancel);
    context_.router.PreparePlayback();
    connection_.AudioPacket(Opcode::kStreamStart,
                            EncodeStreamStart(context_.file.okiClock, context_.file.okiDivider),
                            context_.cancel);
    startCounter_ = context_.clock.Now();
    started_ = true;
    return true;
}

void ADPCMStreamPlayback::Stream() {
    const PlaybackClock& clock = context_.clock;
    while (!context_.StopRequested()) {
        nowUs_ = clock.ElapsedUs(startCounter_, clock.Now());
        context_.position.SetMs(static_cast<int32_t>(nowUs_ / 1000));
        WriteDueExternalEvents();
        writer_.FadeStep(nowUs_);
        PollStatus();
        if (!confirmed_ && nowUs_ >= kStartConfirmUs) {
            throw ReadError("KL4 ADPCM START was not confirmed.");
        }
        if (source_.Finished()) {
            if (EndReached()) {
                break;
            }
        } else if (source_.TimeUs() < nowUs_ + kLeadUs && connection_.PendingBytes() <= kLineBacklogBytes) {
            SendNextChunk();
            continue;
        }
        const AudioEvent* next = sender_.NextExternal();
        if (next != nullptr && next->timeUs <= nowUs_ + kExternalSpinUs) {
            continue;
        }
        clock.SleepMs(1);
    }
}

void ADPCMStreamPlayback::Finish() {
    if (context_.StopRequested()) {
        context_.position.samples =
            nowUs_ > kVGMOriginUs ? (nowUs_ - kVGMOriginUs) * kVGMSampleRate / 1000000 : 0;
    }
    // Without the cancel token: a stop still gets the board's account.
    const AudioStatusReport status = connection_.AudioStatus();
    finalStatusTaken_ = true;
    context_.report = status.text;
    if (context_.link != nullptr) {
        context_.link->streamed = true;
        context_.link->underflows = status.underflows;
        context_.link->lateEvents = status.lateEvents;
    }
    if (context_.StopRequested()) {
        return;
    }
    if (status.failed) {
        throw ReadError("KL4 ADPCM fault: " + context_.report);
    }
    if (!status.finished) {
        throw ReadError("KL4 ADPCM did not reach the end: " + context_.report);
    }
}

void ADPCMStreamPlayback::CleanUp() {
    if (!started_ || source_.Finished() || finalStatusTaken_) {
        return;
    }
    try {
        context_.report = connection_.AudioStatus().text;
    } catch (const std::exception& e) {
        context_.report += std::string("; diagnostics=") + e.what();
    }
}

void ADPCMStreamPlayback::SendNextChunk() {
    if (!sender_.SendNextChunk()) {
        return;
    }
    if (source_.FadeStarted() && !writer_.FadeStarted()) {
        writer_.StartFade(source_.FadeStartUs(), context_.fadeSeconds);
    }
    context_.position.samples = source_.PositionSamples();
}

void ADPCMStreamPlayback::WriteDueExternalEvents() {
    while (!context_.StopRequested()) {
        const AudioEvent* next = sender_.NextExternal();
        if (next == nullptr || next->timeUs > nowUs_) {
            break;
        }
        const auto p = next->payload;  // kind 4: WriteID, Instance, Page, register, value
        sender_.PopExternal();
        writer_.WriteVGMRegister({p[0], p[1], p[2]}, p[3], p[4]);
    }
    writer_.FlushWrites();
}

void ADPCMStreamPlayback::PollStatus() {
    if (statusPending_) {
        if (const auto status = connection_.PollAudioStatus()) {
            statusPending_ = false;
            context_.report = status->text;
            if (status->failed) {
                throw ReadError("KL4 ADPCM fault: " + context_.report);
            }
            const KLINKSerialLink& link = connection_.Link();
            confirmed_ = confirmed_ || (link.AudioFlags() & kAudioStarted) != 0;
            boardFinished_ = status->finished;
            if (link.AudioPlayed() != lastPlayed_) {
                lastPlayed_ = link.AudioPlayed();
                lastProgressUs_ = nowUs_;
            }
            nextPollUs_ = nowUs_ + kStatusIntervalUs;
        }
    }
    if (!statusPending_ && nowUs_ >= nextPollUs_) {
        connection_.BeginAudioStatus();
        statusPending_ = true;
    }
}

bool ADPCMStreamPlayback::EndReached() const noexcept {
    if (boardFinished_) {
        return true;
    }
    if (nowUs_ < source_.TimeUs() + kEndGraceUs) {
        return false;
    }
    // Past the end time the board may merely be behind (a slow link, a
    // buffer that ran dry): wait while it still plays.
    return nowUs_ - lastProgressUs_ >= kStallUs;
}

}  // namespace klink
