#pragma once
// The sending half of the ADPCM stream path: pulls one chunk at a time from
// the event source and hands it to the KL4 board as STREAM_EVENTS and
// STREAM_DATA packets (events always before the data they belong to, and the
// end event after the last data), keeps the stream positions of the events
// the board may still hold, so that the board's event capacity is never
// exceeded, and queues the writes to other chips for the host to perform at
// their time.
//
// Runs on the playback thread only. Failures of the source and the link
// propagate unchanged.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "adpcm/AudioEvent.h"
#include "adpcm/KLINKAudioVGM.h"
#include "protocol/KLINKConnection.h"

namespace klink {

class ADPCMStreamSender {
public:
    // Most other-chip writes that may wait for their time.
    static constexpr size_t kExternalQueueLimit = 65536;

    // `source` and `connection` must outlive this object; `cancel` is handed
    // to every packet sent.
    ADPCMStreamSender(KLINKAudioVGM& source, KLINKConnection& connection, const KLINKCancel& cancel);
    ADPCMStreamSender(const ADPCMStreamSender&) = delete;
    ADPCMStreamSender& operator=(const ADPCMStreamSender&) = delete;

    // Sends the source's next chunk; false, with nothing sent, once the
    // source has finished. Events the board has played (positions below the
    // played count of the link's last AUDIO_STATUS reply) are retired first.
    // WriteError "External register lead exceeds host queue capacity." when
    // the other-chip queue is full, "ADPCM register/event lead exceeds
    // receiver capacity." when the board could not hold the chunk's events.
    bool SendNextChunk();

    // The earliest other-chip write still waiting (kind 4; timeUs on the
    // stream's time axis), or nullptr.
    [[nodiscard]] const AudioEvent* NextExternal() const noexcept {
        return external_.empty() ? nullptr : &external_.front();
    }
    void PopExternal() noexcept { external_.pop_front(); }

    // Events sent whose position the board was not yet known to have played.
    [[nodiscard]] size_t EventsInFlight() const noexcept { return inFlight_.size(); }

private:
    KLINKAudioVGM& source_;
    KLINKConnection& connection_;
    const KLINKCancel& cancel_;
    std::deque<uint32_t> inFlight_;
    std::deque<AudioEvent> external_;
    // One chunk; kept to reuse their capacity.
    std::vector<uint8_t> pcm_;
    std::vector<AudioEvent> events_;
    std::vector<AudioEvent> boardEvents_;
};

}  // namespace klink
