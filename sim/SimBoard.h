#pragma once
// A simulated Keltra board running on a pseudo-terminal of its own, on a
// thread of its own: the host opens PortPath() as a serial port and talks
// KLINK to it as to real hardware, at the real line rate.
//
//   auto board = klink::sim::SimBoard::Start("Keltra 4");
//   OpenSerialPort(board->PortPath());  ...
//   board->Trace();   // what the board did, in order
//
// The destructor stops the board: it joins the thread, closes the
// pseudo-terminal (the host sees a hang-up) and withdraws a published port.
// Every public function is thread-safe.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "SimBoardModel.h"
#include "SimFaults.h"
#include "SimLine.h"
#include "SimProfile.h"
#include "SimPseudoTerminal.h"
#include "SimTrace.h"
#include "SimWavWriter.h"
#include "platform/SimulatedLine.h"

namespace klink::sim {

struct SimBoardOptions {
    // How both directions are paced: as 115200 8N1 (11520 bytes per second),
    // as full-speed USB, or not at all (SimLine.h).
    SimLineKind line = SimLineKind::kUart;
    // False paces nothing whatever `line` says (the same as kUnthrottled).
    bool throttled = true;
    // Publish the port in this user's simulated-port folder as "sim-<model>-<n>",
    // so it shows in the port list. Off: only PortPath() knows it.
    bool publish = false;
    // The board's name in the trace; empty: the published port name, else "sim-<model>".
    std::string name;
    // Keep the trace in memory for Trace(); at most traceLimit events (later ones are counted, not kept).
    bool keepTrace = true;
    size_t traceLimit = 1'000'000;
    // Also write the trace to this JSON Lines file (may be shared by several boards).
    std::shared_ptr<SimTraceFile> traceFile;
    // Write what the board plays to this WAV file (empty: none). With
    // wavPerBoard the board's port name goes before the extension
    // ("out.wav" -> "out.sim-keltra4-1.wav"), for several boards at once.
    std::filesystem::path wavPath;
    bool wavPerBoard = false;
    SimFaults faults;
    // The board's thread asks for real-time scheduling (else the highest
    // normal priority): a real board's processor serves its port whatever
    // else the host runs.
    bool realtime = false;
};

class SimBoard {
public:
    // Starts a board of a built-in model ("Keltra 2", "Keltra 2.1", "Keltra 3",
    // "Keltra 4"). Throws ArgumentOutOfRange for an unknown model, OSError when
    // no pseudo-terminal or port name can be had.
    [[nodiscard]] static std::unique_ptr<SimBoard> Start(std::string_view model,
                                                         SimBoardOptions options = {});
    [[nodiscard]] static std::unique_ptr<SimBoard> Start(SimProfile profile, SimBoardOptions options = {});

    ~SimBoard();
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    // Stops the thread and closes the line; idempotent.
    void Stop() noexcept;

    // What the host opens: the published link, or the pseudo-terminal device.
    [[nodiscard]] const std::string& PortPath() const noexcept { return portPath_; }
    [[nodiscard]] const std::string& DevicePath() const noexcept { return pty_.DevicePath(); }
    // How the line is paced.
    [[nodiscard]] SimLineKind Line() const noexcept { return line_; }
    // The published port name, or the board's trace name when not published.
    [[nodiscard]] const std::string& PortName() const noexcept { return name_; }
    [[nodiscard]] const SimProfile& Profile() const noexcept { return model_.Profile(); }

    // The board's clock: microseconds since it started.
    [[nodiscard]] uint64_t NowUS() const noexcept;

    [[nodiscard]] std::vector<SimTraceEvent> Trace() const;
    [[nodiscard]] std::vector<std::string> TraceLines() const;
    [[nodiscard]] uint64_t TraceDropped() const;
    void ClearTrace();
    // Waits until `done` holds for the trace so far, at most `timeout`; returns whether it held.
    bool WaitForTrace(const std::function<bool(const std::vector<SimTraceEvent>&)>& done,
                      std::chrono::milliseconds timeout) const;

    void SetFaults(SimFaults faults);
    [[nodiscard]] SimFaults Faults() const;

    // The board's state as the host's commands left it.
    [[nodiscard]] uint8_t Register(uint8_t writeId, uint8_t instance, uint8_t page, uint8_t reg) const;
    [[nodiscard]] uint16_t PSGRegister(uint8_t writeId, uint8_t instance, int index) const;
    [[nodiscard]] uint32_t ClockHz(uint8_t writeId, uint8_t instance) const;
    [[nodiscard]] uint8_t Attenuation() const;
    [[nodiscard]] SimStreamStatus StreamStatus() const;
    [[nodiscard]] KL2DACStatus DACStatus() const;
    [[nodiscard]] uint64_t BytesRead() const;
    [[nodiscard]] uint64_t Requests() const;
    [[nodiscard]] uint64_t RejectedPackets() const;

private:
    SimBoard(SimProfile profile, SimBoardOptions options);
    void Run() noexcept;
    void Step(int64_t nowNs);
    void LineLost(int64_t nowNs);
    void CommitTrace();
    [[nodiscard]] int64_t NowNs() const noexcept;

    const std::chrono::steady_clock::time_point start_;
    SimBoardOptions options_;
    const SimLineKind line_;
    SimPseudoTerminal pty_;
    // Tells the host's serial layer what the board has taken off its line;
    // null when the record could not be made.
    std::unique_ptr<platform::SimulatedLinePublisher> linePublisher_;
    std::unique_ptr<SimPortClaim> claim_;
    std::string name_;
    std::string portPath_;
    std::unique_ptr<SimWavWriter> wav_;

    mutable std::mutex mutex_;  // the model, the lines and the flags below
    mutable SimBoardModel model_;
    SimInputLine in_;
    SimOutputLine out_;
    bool lineDown_ = false;
    bool closedByFault_ = false;
    bool stoppedReading_ = false;
    uint64_t bytesRead_ = 0;
    int64_t lastNs_ = 0;  // the time the model was last advanced to
    bool stop_ = false;

    mutable std::mutex traceMutex_;
    mutable std::condition_variable traceChanged_;
    std::vector<SimTraceEvent> trace_;
    uint64_t traceDropped_ = 0;

    std::thread thread_;
};

}  // namespace klink::sim
