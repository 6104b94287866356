#pragma once
// The register path: every chip write travels as a register-write batch and
// the host alone keeps time. It walks the command data in real time, sends
// each batch when its sample position falls due (absolute deadlines from one
// time origin, so waits never add up rounding or lateness), follows the loop
// point and the repeat count, fades out through the output volume and
// publishes the position.

#include <cstdint>
#include <optional>

#include "kl2/KL2VGMStartup.h"
#include "player/PlaybackContext.h"
#include "player/RegisterWriter.h"

namespace klink {

class RegisterPlayback {
public:
    // The context must outlive this object.
    explicit RegisterPlayback(const PlaybackContext& context);
    RegisterPlayback(const RegisterPlayback&) = delete;
    RegisterPlayback& operator=(const RegisterPlayback&) = delete;

    // Plays the file once through (and its loop as the repeat count and fade
    // ask) on the playback thread; returns at the end, at the fade's last
    // step, or within one command or 1 ms sleep of a stop request. Leaves the
    // position's samples where playback got to: where the fade ended, not the
    // last command, when a fade ended it. Call once per object.
    void Play();

private:
    // One command; false when playback ends here.
    [[nodiscard]] bool ProcessCommand();
    // The first audible write synchronises the boards' startup and fixes the
    // time origin so that the current sample position falls due now.
    void StartTiming();
    // How late the writes of sample position `samples`, just sent, reach the
    // line (LinkWatch); nothing without a watch.
    void RecordLateness(uint64_t samples);
    // Sends the YM2612 key and DAC state collected at time 0.
    void FlushKL2Startup();
    // One sleep of the wait for a deadline: until `until` at the latest.
    void Sleep(int64_t until);

    const PlaybackContext& context_;
    RegisterWriter writer_;
    uint64_t& samples_;  // the position's samples: 44100 per second, across loops
    uint32_t pointer_;   // file offset of the next command
    // Where the last jump back to the loop start happened; a pass through the
    // loop that reaches the end at the same position never waits.
    std::optional<uint64_t> lastLoopSamples_;
    uint64_t completedLoops_ = 0;
    bool startupSynchronized_ = false;
    int64_t startCounter_ = 0;  // counter value of sample 0; 0 until fixed
    int64_t lastCounter_ = 0;   // the last counter value a wait read
    int64_t spinTicks_;         // the end of a wait spent spinning on the counter
    // Time-zero YM2612 key and DAC writes of a KL2 file, held back until the
    // first nonzero wait.
    KL2VGMStartup kl2Startup_;
};

}  // namespace klink
