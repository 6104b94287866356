#include "player/ADPCMStreamSender.h"

#include "adpcm/ADPCMStreamPayloads.h"
#include "common/Errors.h"

namespace klink {

ADPCMStreamSender::ADPCMStreamSender(KLINKAudioVGM& source, KLINKConnection& connection,
                                     const KLINKCancel& cancel)
    : source_(source), connection_(connection), cancel_(cancel) {}

bool ADPCMStreamSender::SendNextChunk() {
    uint32_t position = 0;
    if (!source_.Next(position, pcm_, events_)) {
        return false;
    }
    boardEvents_.clear();
    for (const AudioEvent& e : events_) {
        if (IsBoardEvent(e.kind)) {
            boardEvents_.push_back(e);
            continue;
        }
        if (external_.size() >= kExternalQueueLimit) {
            throw WriteError("External register lead exceeds host queue capacity.");
        }
        external_.push_back(e);
    }

    // An event at the played count itself may not have been applied yet.
    const uint32_t played = connection_.Link().AudioPlayed();
    while (!inFlight_.empty() && inFlight_.front() < played) {
        inFlight_.pop_front();
    }
    if (inFlight_.size() + boardEvents_.size() > connection_.Capabilities().EventCapacity()) {
        throw WriteError("ADPCM register/event lead exceeds receiver capacity.");
    }
    for (const AudioEvent& e : boardEvents_) {
        inFlight_.push_back(e.position);
    }

    for (const std::vector<uint8_t>& payload : EncodeStreamEvents(boardEvents_)) {
        connection_.AudioPacket(Opcode::kStreamEvents, payload, cancel_);
    }
    connection_.AudioPacket(Opcode::kStreamData, EncodeStreamData(position, pcm_), cancel_);
    if (source_.Finished()) {
        // Not counted in flight: the board holds the end apart from its events.
        connection_.AudioPacket(Opcode::kStreamEvents,
                                EncodeStreamEnd(source_.BytePosition(), source_.SilenceByte()), cancel_);
    }
    return true;
}

}  // namespace klink
