// How long this machine holds a thread back when nothing of ours is running:
// a thread with the playback thread's scheduling sleeps to absolute 1 ms
// deadlines for SECONDS (default 60) and lists every wake-up more than 3 ms
// late. A pause it sees is the system's (a virtual machine's processors
// held by the host, a kernel stall), and sets the floor under every timing
// figure measured on the same machine.
//
//   ./build/bench/pause_probe [SECONDS]

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Clock.h"
#include "platform/Thread.h"

int main(int argc, char** argv) {
    namespace platform = klink::platform;
    const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 60;
    (void)platform::SetCurrentThreadPriority(platform::ThreadPriority::kPlayback);
    std::printf("pause_probe: %ld s, %s\n", seconds, platform::DescribeCurrentThreadScheduling().c_str());

    const std::int64_t frequency = platform::PerformanceFrequency();
    const std::int64_t period = frequency / 1000;
    const std::int64_t start = platform::PerformanceCounter();
    const std::int64_t stop = start + seconds * frequency;
    std::int64_t deadline = start;
    int pauses = 0;
    double worstMs = 0;
    while (true) {
        deadline += period;
        if (!platform::SleepUntilCounter(deadline)) platform::SleepMs(1);
        const std::int64_t now = platform::PerformanceCounter();
        const double lateMs = static_cast<double>(now - deadline) * 1000.0 / static_cast<double>(frequency);
        if (lateMs > worstMs) worstMs = lateMs;
        if (lateMs > 3.0) {
            ++pauses;
            std::printf("%8.3f s: woke %.2f ms late\n",
                        static_cast<double>(now - start) / static_cast<double>(frequency), lateMs);
        }
        if (now >= stop) break;
        // After a pause, count from now: one stall is one late wake-up, not a burst of catching up.
        if (now - deadline > period) deadline = now;
    }
    std::printf("pause_probe: %d wake-up(s) more than 3 ms late, worst %.2f ms\n", pauses, worstMs);
    return 0;
}
