// The incremental frame decoder fed a received byte stream. The first two
// input bytes set after how many bytes the line goes quiet for 500 ms (0:
// never), the rest is the stream. Every frame it hands out must be one the
// encoder can produce again, byte for byte decodable to the same frame.

#include <vector>

#include "FuzzSupport.h"
#include "common/Errors.h"
#include "protocol/KLINKCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    klink::fuzz::InputReader in(data, size);
    const uint16_t quietEvery = in.LE16();
    const std::span<const uint8_t> stream = in.Rest();

    klink::KLINKDecoder decoder;
    klink::KLINKFrame frame;
    uint64_t nowMs = 1000;
    for (size_t i = 0; i < stream.size(); ++i) {
        nowMs +=
            (quietEvery != 0 && i % quietEvery == size_t{quietEvery} - 1) ? klink::kInterByteTimeoutMs : 1;
        if (!decoder.Feed(stream[i], nowMs, frame)) {
            FUZZ_CHECK(decoder.Count() >= 0 && decoder.Count() <= klink::kMaxCOBSBody);
            continue;
        }
        FUZZ_CHECK(frame.payload.size() <= static_cast<size_t>(klink::kMaxPayload));
        FUZZ_CHECK(frame.messageType <= klink::MessageType::kReply);
        const std::vector<uint8_t> wire =
            klink::EncodeFrame(frame.messageType, frame.opcode, frame.requestId, frame.payload);
        FUZZ_CHECK(wire.size() <= static_cast<size_t>(klink::kMaxWireFrame));
        FUZZ_CHECK(wire.front() == 0 && wire.back() == 0);
        klink::KLINKFrame again;
        FUZZ_CHECK(klink::DecodeFrame(std::span(wire).subspan(1, wire.size() - 2), again));
        FUZZ_CHECK(again == frame);
    }

    // The same bytes as one body: the one-shot decoder must not crash either.
    klink::KLINKFrame whole;
    if (klink::DecodeFrame(stream, whole)) {
        FUZZ_CHECK(whole.payload.size() <= static_cast<size_t>(klink::kMaxPayload));
    }
    return 0;
}
