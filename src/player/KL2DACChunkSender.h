#pragma once
// Sends the KL2 DAC stream source's chunks to the board: each chunk's
// start-up writes at once, its timed register writes as REGISTER_EVENTS
// batches (or into the host queue once the board has no room for them, and
// always for chips on the other connection), then its DAC records as one
// DAC_RECORDS packet; and DAC_END once the source is exhausted. A chunk that
// the receive window cannot take whole is resumed where it stopped.
//
// Runs on the playback thread only.

#include <cstdint>

#include "kl2/KL2DACCodec.h"
#include "kl2/KL2DACVGM.h"
#include "player/KL2HostRegisterQueue.h"
#include "protocol/KLINKConnection.h"
#include "routing/KLINKRouter.h"

namespace klink {

class KL2DACChunkSender {
public:
    // Everything given must outlive the sender.
    KL2DACChunkSender(KL2DACVGM& source, KLINKRouter& router, KLINKConnection& dac,
                      const KL2DACCapabilities& caps, KL2HostRegisterQueue& host)
        : source_(source), router_(router), dac_(dac), caps_(caps), host_(host) {}
    KL2DACChunkSender(const KL2DACChunkSender&) = delete;
    KL2DACChunkSender& operator=(const KL2DACChunkSender&) = delete;

    // Makes sure a chunk is held: the one not yet sent, else the source's
    // next. False once the source has nothing more.
    bool Fetch();
    // Whether the held chunk fits the board now, given its last status:
    // false while its records would overflow the record buffer. Switches
    // timed KL2 writes to the host for good when the board's event credits
    // cannot take the chunk's. ReadError "KL2 consumed unsent records." /
    // "KL2 consumed unsent events." when the board counts more than was sent.
    [[nodiscard]] bool CanSend(const KL2DACStatus& status);
    // Sends what is left of the held chunk; false when the receive window
    // refused a packet (what was sent stays sent, the rest is retried).
    // WriteError "Noncontiguous KL2 DAC chunk." when the chunk does not
    // start where the stream got to.
    [[nodiscard]] bool Send(const KLINKCancel& cancel);
    // Sends DAC_END after the last record once; retried on the next call
    // while the receive window refuses it.
    void SendEnd(const KLINKCancel& cancel);

    // Records in the held chunk.
    [[nodiscard]] size_t ChunkRecords() const noexcept { return chunk_.records.size(); }
    // End tick of everything sent.
    [[nodiscard]] uint64_t Tick() const noexcept { return tick_; }
    // DAC records sent: the sequence number of the next one.
    [[nodiscard]] uint32_t Sequence() const noexcept { return sequence_; }
    // Register events given to the board.
    [[nodiscard]] uint32_t EventsSent() const noexcept { return eventsSent_; }
    [[nodiscard]] bool EndSent() const noexcept { return endSent_; }
    // Timed KL2 writes go through the host queue from now on.
    [[nodiscard]] bool HostRegisters() const noexcept { return hostRegisters_; }

private:
    // One start-up write, at once; false when the receive window refused it.
    bool WriteInitialEvent(const KL2RegisterEvent& event, const KLINKCancel& cancel);
    // The board-timed events from `first` on with the tick and target of the first.
    [[nodiscard]] int32_t BatchLength(size_t first) const;

    KL2DACVGM& source_;
    KLINKRouter& router_;
    KLINKConnection& dac_;
    const KL2DACCapabilities& caps_;
    KL2HostRegisterQueue& host_;
    KL2DACChunk chunk_;
    bool haveChunk_ = false;
    size_t eventIndex_ = 0;  // the held chunk's next unhandled event
    uint64_t tick_ = 0;
    uint32_t sequence_ = 0;
    uint32_t eventsSent_ = 0;
    bool endSent_ = false;
    bool hostRegisters_ = false;
};

}  // namespace klink
