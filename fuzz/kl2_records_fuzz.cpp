// The KL2 board's DAC_CAPABILITIES and DAC_STATUS reply records. The first
// input byte picks the record (even: capabilities, odd: status), the rest is
// the reply after its status byte. A record either decodes, and then
// re-encodes to the same bytes, or is refused with a ReadError and left as
// it was.

#include <vector>

#include "FuzzSupport.h"
#include "SimKL2DAC.h"
#include "common/Errors.h"
#include "kl2/KL2DACCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    klink::fuzz::InputReader in(data, size);
    const bool status = (in.Byte() & 1) != 0;
    const std::span<const uint8_t> reply = in.Rest();
    const std::vector<uint8_t> bytes(reply.begin(), reply.end());

    if (status) {
        klink::KL2DACStatus record;
        record.state = klink::KL2DACState::kEnded;
        record.accepted = 7;
        const klink::KL2DACStatus before = record;
        try {
            record.Decode(reply);
        } catch (const klink::ReadError&) {
            FUZZ_CHECK(record == before);
            return 0;
        }
        FUZZ_CHECK(record.consumed <= record.accepted);
        FUZZ_CHECK(record.queued == record.accepted - record.consumed);
        FUZZ_CHECK(record.playedTick <= record.acceptedTick);
        FUZZ_CHECK(klink::sim::SimKL2DAC::EncodeStatus(record) == bytes);
        FUZZ_CHECK(!record.Describe().empty());
        try {
            (void)klink::KL2EventCreditsFit(record.eventConsumed + record.eventQueued, record.eventConsumed,
                                            0xFFFF, static_cast<int32_t>(record.eventQueued & 0x7FFF));
        } catch (const klink::ReadError&) {
            // A sum past 32 bits wraps below the consumed count.
        }
    } else {
        klink::KL2DACCapabilities record;
        record.maxRecords = 9;
        const klink::KL2DACCapabilities before = record;
        try {
            record.Decode(reply);
        } catch (const klink::ReadError&) {
            FUZZ_CHECK(record == before);
            return 0;
        }
        FUZZ_CHECK(record.revision == 40 && record.tickRate == klink::kKL2TickRate);
        FUZZ_CHECK(record.recordCapacity != 0 && record.eventCapacity != 0);
        FUZZ_CHECK(record.maxRecords >= 1 && record.maxRecords <= klink::kKL2MaxRecordsPerPacket);
        FUZZ_CHECK(bytes.size() == klink::kKL2CapabilityRecordSize);
    }
    return 0;
}
