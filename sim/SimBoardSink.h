#pragma once
// What the playback models of a simulated board hand back to the board: chip
// writes (traced and applied), other trace events and the audio they play.
// Times are nanoseconds on the board's clock.

#include <cstdint>

#include "SimTrace.h"

namespace klink::sim {

class SimBoardSink {
public:
    virtual ~SimBoardSink() = default;
    // A chip write performed at timeNs; reg -1 for an SN76489 byte.
    virtual void ChipWrite(int64_t timeNs, uint8_t writeId, uint8_t instance, uint8_t page, int reg,
                           uint8_t value, SimWriteSource source) = 0;
    virtual void TraceAt(int64_t timeNs, SimTraceEvent event) = 0;
    // One OKIM6258 output sample (12-bit signed) at sampleRate samples per second.
    virtual void OKISample(int16_t sample, uint32_t sampleRate) = 0;
    // `count` KL2 DAC output samples of `value` (8-bit unsigned) at 44100 Hz.
    virtual void DACSamples(uint8_t value, uint64_t count) = 0;
};

}  // namespace klink::sim
