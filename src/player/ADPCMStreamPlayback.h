#pragma once
// The OKIM6258 stream path: a KL4 board plays one continuous ADPCM stream with
// the YM2151 writes bound to stream positions, while the host writes every
// other chip at its time through a RegisterWriter and fades out on the stream
// time axis.
//
// Time axis: microseconds since STREAM_START was sent, the moment the board is
// taken to play stream byte 0; VGM time 0 is 5120 µs. The host keeps the
// stream 80 to about 85 ms ahead of that time, asks the board for its status
// every 20 ms, and at the end confirms that the board has played the whole
// stream. The board's last status text is left in the context's report.

#include <cstdint>

#include "adpcm/KLINKAudioVGM.h"
#include "player/ADPCMStreamSender.h"
#include "player/PlaybackContext.h"
#include "player/RegisterWriter.h"
#include "protocol/KLINKConnection.h"

namespace klink {

class ADPCMStreamPlayback {
public:
    // The context must outlive this object. Throws the source's failures for
    // a file it cannot play, and WriteError "No audio route." without a
    // stream board.
    explicit ADPCMStreamPlayback(const PlaybackContext& context);
    ADPCMStreamPlayback(const ADPCMStreamPlayback&) = delete;
    ADPCMStreamPlayback& operator=(const ADPCMStreamPlayback&) = delete;

    // Plays the stream to its end on the playback thread; returns at the end
    // or soon after a stop request. Failures (ReadError unless noted):
    // "ADPCM stream was not cleared by RESET.", "KL4 ADPCM START was not
    // confirmed.", "KL4 ADPCM fault: " / "KL4 ADPCM did not reach the end: "
    // followed by the board's status text, the sender's WriteErrors, and
    // those of the source, the link and the router unchanged. Call once.
    void Play();

private:
    // Checks that the board's stream is cleared, sends the YM2151 state from
    // before the first sound and the first 80 ms of stream, then starts the
    // stream. False, with no STREAM_START sent, when a stop came first.
    [[nodiscard]] bool SetUp();
    // Streams until the board has played the end, or a stop request.
    void Stream();
    // The final status check.
    void Finish();
    // After an early end: the board's last status, for the report.
    void CleanUp();

    void SendNextChunk();
    void WriteDueExternalEvents();
    // Collects a status reply that has come and asks for the next when due.
    void PollStatus();
    // The loop may end: the board reported the end, or it stopped playing
    // well after the stream's end time.
    [[nodiscard]] bool EndReached() const noexcept;

    const PlaybackContext& context_;
    KLINKConnection& connection_;
    RegisterWriter writer_;
    KLINKAudioVGM source_;
    ADPCMStreamSender sender_;

    bool started_ = false;        // STREAM_START was sent
    bool statusPending_ = false;  // an AUDIO_STATUS awaits its reply
    bool confirmed_ = false;      // a reply has shown the started bit
    bool boardFinished_ = false;  // the last reply said the end was played
    bool finalStatusTaken_ = false;
    int64_t startCounter_ = 0;  // counter value of STREAM_START
    uint64_t nowUs_ = 0;        // stream time of the current pass
    uint64_t nextPollUs_ = 0;
    // When the board's played count last changed, for the end wait.
    uint32_t lastPlayed_ = 0;
    uint64_t lastProgressUs_ = 0;
};

}  // namespace klink
