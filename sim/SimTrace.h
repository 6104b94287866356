#pragma once
// What a simulated board did, one event per chip write or state change, as
// JSON Lines: {"t_us":N,"board":"sim-keltra4-1","op":"reg",...}. Times are
// integer microseconds on the board's own clock since it started.

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace klink::sim {

enum class SimTraceOp : uint8_t {
    kReg,          // id inst page reg val src
    kReset,        //
    kVolume,       // att
    kClock,        // id inst hz (SET_CHIP_CLOCK, or an OKIM6258 clock event of the stream: also div)
    kPan,          // val (OKIM6258 pan event of the stream)
    kStreamStart,  // clock div
    kStreamEnd,    // pos silence: the end position was reached and the silence byte played
    kDACStart,     // lead
    kDACEnd,       // tick: every record and event has played
    kFault,        // what: an injected fault took effect
    kReject,       // what: a packet or request the board refused
};

// Who caused a register write.
enum class SimWriteSource : uint8_t {
    kHost,    // a register-write packet
    kStream,  // a YM2151 event of the ADPCM stream
    kEvent,   // a KL2 timed register event
    kDAC,     // a KL2 DAC record (register 0x2A or 0x2B of writeId 0x52)
};

struct SimTraceEvent {
    uint64_t timeUs = 0;
    SimTraceOp op = SimTraceOp::kReg;
    uint8_t writeId = 0;
    uint8_t instance = 0;
    uint8_t page = 0;
    int16_t reg = -1;   // -1 for SN76489 bytes, which carry no register
    uint8_t value = 0;  // reg and pan: the value; stream_end: the silence byte
    SimWriteSource source = SimWriteSource::kHost;
    uint32_t hz = 0;       // clock: hz; stream_start: clock
    uint32_t divider = 0;  // stream_start, and clock events of the stream
    uint64_t number = 0;   // volume: att; dac_start: lead; stream_end: pos; dac_end: tick
    std::string what;      // fault, reject
};

[[nodiscard]] std::string_view TraceOpName(SimTraceOp op) noexcept;
[[nodiscard]] std::string_view WriteSourceName(SimWriteSource source) noexcept;

// One JSON line without the line break.
[[nodiscard]] std::string FormatTraceLine(const SimTraceEvent& event, std::string_view board);

// A JSON Lines file that several boards append to. Lines are handed over in
// blocks and written by a thread of its own, so a slow disk never holds up a
// board; the file is flushed every 200 ms and when the sink closes.
class SimTraceFile {
public:
    // Creates or truncates the file. Throws OSError.
    explicit SimTraceFile(const std::filesystem::path& path);
    ~SimTraceFile();
    SimTraceFile(const SimTraceFile&) = delete;
    SimTraceFile& operator=(const SimTraceFile&) = delete;

    // Queues complete lines (each ending in '\n'). Never blocks on the disk.
    void Append(std::string&& lines);
    // Writes and flushes everything queued so far; returns once it is on disk.
    void Flush();
    // Flushes and closes; later appends are dropped.
    void Close();

private:
    void Run();

    std::FILE* file_ = nullptr;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable flushed_;
    std::string pending_;
    uint64_t appended_ = 0;
    uint64_t written_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace klink::sim
