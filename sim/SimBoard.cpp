#include "SimBoard.h"

#include <algorithm>
#include <exception>

#include "common/Errors.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace klink::sim {
namespace {

constexpr int64_t kMs = 1'000'000;
// How often the board looks at the time when nothing else wakes it: often
// while it plays a stream, so the trace and the audio keep up; rarely when idle.
constexpr int64_t kPlayingStepNs = 5 * kMs;
constexpr int64_t kIdleStepNs = 50 * kMs;
// While the host has the port closed, how often the board checks for it to come back.
constexpr int64_t kReopenPollNs = 10 * kMs;
// Bytes are taken off the line and sent in steps of about this long.
constexpr int64_t kLineStepNs = 1 * kMs;

platform::SimulatedLineKind PublishedKind(SimLineKind kind) {
    switch (kind) {
        case SimLineKind::kUart:
            return platform::SimulatedLineKind::kUart;
        case SimLineKind::kUsb:
            return platform::SimulatedLineKind::kUsb;
        case SimLineKind::kUnthrottled:
            break;
    }
    return platform::SimulatedLineKind::kUnthrottled;
}

}  // namespace

std::unique_ptr<SimBoard> SimBoard::Start(std::string_view model, SimBoardOptions options) {
    auto profile = BuiltInProfile(model);
    if (!profile) throw ArgumentOutOfRange("Unknown simulated board model \"" + std::string(model) + "\".");
    return Start(std::move(*profile), std::move(options));
}

std::unique_ptr<SimBoard> SimBoard::Start(SimProfile profile, SimBoardOptions options) {
    std::unique_ptr<SimBoard> board(new SimBoard(std::move(profile), std::move(options)));
    board->thread_ = std::thread([b = board.get()] { b->Run(); });
    return board;
}

SimBoard::SimBoard(SimProfile profile, SimBoardOptions options)
    : start_(std::chrono::steady_clock::now()),
      options_(std::move(options)),
      line_(options_.throttled ? options_.line : SimLineKind::kUnthrottled),
      model_(std::move(profile), options_.name),
      in_(line_),
      out_(line_) {
    try {
        linePublisher_ =
            std::make_unique<platform::SimulatedLinePublisher>(pty_.DevicePath(), PublishedKind(line_));
    } catch (const std::exception&) {
        // Without its record the board still runs; the host then sees a
        // plain pseudo-terminal, with no output queue.
    }
    if (options_.publish) {
        claim_ = std::make_unique<SimPortClaim>(ModelStem(model_.Profile().model), pty_.DevicePath());
        portPath_ = claim_->Path();
        name_ = claim_->Name();
    } else {
        portPath_ = pty_.DevicePath();
        name_ = "sim-" + ModelStem(model_.Profile().model);
    }
    if (!options_.name.empty()) name_ = options_.name;
    if (!options_.wavPath.empty()) {
        std::filesystem::path path = options_.wavPath;
        if (options_.wavPerBoard) {
            path.replace_filename(options_.wavPath.stem().string() + "." + name_ +
                                  options_.wavPath.extension().string());
        }
        wav_ = std::make_unique<SimWavWriter>(path);
        model_.SetAudioOutput(wav_.get());
    }
    model_.SetFaults(options_.faults);
}

SimBoard::~SimBoard() { Stop(); }

void SimBoard::Stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    pty_.Wake();
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard lock(mutex_);
        lastNs_ = std::max(lastNs_, NowNs());
        model_.AdvanceTo(lastNs_);
        (void)model_.TakeReplies();
        CommitTrace();
        pty_.Close();
        if (wav_) wav_->Close();
    }
    if (options_.traceFile) options_.traceFile->Flush();
    if (claim_) claim_->Release();
}

int64_t SimBoard::NowNs() const noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_)
        .count();
}

uint64_t SimBoard::NowUS() const noexcept { return static_cast<uint64_t>(NowNs() / 1000); }

void SimBoard::LineLost(int64_t) {
    lineDown_ = true;
    const size_t dropped = pty_.Discard();
    if (linePublisher_) linePublisher_->Taken(dropped);
    in_.Drained();
    out_.Clear();
    model_.LineLost();
}

void SimBoard::Step(int64_t now) {
    const SimFaults& faults = model_.Faults();
    if (faults.hangUpAfterMs != 0 && !closedByFault_ && now >= int64_t{faults.hangUpAfterMs} * kMs) {
        closedByFault_ = true;
        pty_.Close();
        out_.Clear();
        model_.NoteLineFault(int64_t{faults.hangUpAfterMs} * kMs, "hang up");
    }
    if (pty_.Open()) {
        if (lineDown_ && !pty_.HungUp()) lineDown_ = false;  // the host opened the port again
        if (!lineDown_) {
            uint64_t due = in_.Due(now);
            if (faults.stopReadingAfterBytes != 0) {
                const uint64_t left =
                    bytesRead_ < faults.stopReadingAfterBytes ? faults.stopReadingAfterBytes - bytesRead_ : 0;
                if (left == 0 && !stoppedReading_) {
                    stoppedReading_ = true;
                    model_.NoteLineFault(now, "stopped reading");
                }
                due = std::min(due, left);
            }
            if (due > 0) {
                uint8_t buffer[4096];
                const size_t want = static_cast<size_t>(std::min<uint64_t>(due, sizeof buffer));
                bool hungUp = false;
                const size_t got = pty_.Read(std::span(buffer, want), hungUp);
                for (size_t i = 0; i < got; ++i) {
                    const int64_t t = in_.Consume(now);
                    model_.Feed(buffer[i], t);
                }
                bytesRead_ += got;
                if (linePublisher_) linePublisher_->Taken(got);
                if (got < want) in_.Drained();
                if (hungUp) LineLost(now);
            }
        }
    }
    model_.AdvanceTo(now);
    // The trace goes out before the replies, so a host that has its reply
    // also finds everything the board did before it in Trace().
    CommitTrace();
    for (SimReply& r : model_.TakeReplies()) {
        if (pty_.Open() && !lineDown_) out_.Push(std::move(r));
    }
    while (pty_.Open() && !lineDown_) {
        const std::span<const uint8_t> bytes = out_.Due(now);
        if (bytes.empty()) break;
        const size_t put = pty_.Write(bytes);
        out_.Commit(put);
        if (put < bytes.size()) break;
    }
}

void SimBoard::Run() noexcept {
    // A board's serial port takes bytes in as they come, whatever else runs:
    // the thread that models it must not notice new bytes later than the
    // host's own threads wake, or the host would look late.
    (void)platform::SetCurrentThreadPriority(options_.realtime ? platform::ThreadPriority::kPlaybackWriter
                                                               : platform::ThreadPriority::kHighest);
    const platform::TimerResolutionScope timerResolution(1);
    for (;;) {
        bool watchLine = false;
        bool wantInput = false;
        int64_t now = 0;
        int64_t next = 0;
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
            now = NowNs();
            lastNs_ = now;
            try {
                Step(now);
            } catch (...) {
                // A board never dies on the host's input; drop what cannot be handled.
            }
            const SimFaults& faults = model_.Faults();
            next = now + (lineDown_ ? kReopenPollNs : model_.Playing() ? kPlayingStepNs : kIdleStepNs);
            const bool reading = pty_.Open() && !lineDown_ && !stoppedReading_;
            watchLine = pty_.Open() && !lineDown_;
            wantInput = reading && !in_.Busy();
            if (reading && in_.Busy()) next = std::min(next, std::max(in_.NextDueNs(), now + kLineStepNs));
            if (watchLine && !out_.Empty())
                next = std::min(next, std::max(out_.NextDueNs(), now + kLineStepNs));
            if (faults.hangUpAfterMs != 0 && !closedByFault_) {
                next = std::min(next, std::max(now, int64_t{faults.hangUpAfterMs} * kMs));
            }
        }
        const SimWaitResult woke = pty_.Wait(std::max<int64_t>(0, next - now), watchLine, wantInput);
        // Taken before the lock, which a host reading the trace may hold.
        const int64_t wokeNs = NowNs();
        std::lock_guard lock(mutex_);
        if (woke == SimWaitResult::kInput) {
            in_.Detected(wokeNs);
        } else if (woke == SimWaitResult::kHungUp && !lineDown_) {
            LineLost(NowNs());
        }
    }
}

void SimBoard::CommitTrace() {
    std::vector<SimTraceEvent> events = model_.TakeTrace();
    if (events.empty()) return;
    if (options_.traceFile) {
        std::string lines;
        for (const SimTraceEvent& e : events) {
            lines += FormatTraceLine(e, name_);
            lines += '\n';
        }
        options_.traceFile->Append(std::move(lines));
    }
    if (options_.keepTrace) {
        std::lock_guard lock(traceMutex_);
        for (SimTraceEvent& e : events) {
            if (trace_.size() < options_.traceLimit) {
                trace_.push_back(std::move(e));
            } else {
                ++traceDropped_;
            }
        }
    }
    traceChanged_.notify_all();
}

std::vector<SimTraceEvent> SimBoard::Trace() const {
    std::lock_guard lock(traceMutex_);
    return trace_;
}

std::vector<std::string> SimBoard::TraceLines() const {
    std::lock_guard lock(traceMutex_);
    std::vector<std::string> lines;
    lines.reserve(trace_.size());
    for (const SimTraceEvent& e : trace_) lines.push_back(FormatTraceLine(e, name_));
    return lines;
}

uint64_t SimBoard::TraceDropped() const {
    std::lock_guard lock(traceMutex_);
    return traceDropped_;
}

void SimBoard::ClearTrace() {
    std::lock_guard lock(traceMutex_);
    trace_.clear();
    traceDropped_ = 0;
}

bool SimBoard::WaitForTrace(const std::function<bool(const std::vector<SimTraceEvent>&)>& done,
                            std::chrono::milliseconds timeout) const {
    std::unique_lock lock(traceMutex_);
    return traceChanged_.wait_for(lock, timeout, [&] { return done(trace_); });
}

void SimBoard::SetFaults(SimFaults faults) {
    std::lock_guard lock(mutex_);
    model_.SetFaults(std::move(faults));
    stoppedReading_ = false;
    pty_.Wake();
}

SimFaults SimBoard::Faults() const {
    std::lock_guard lock(mutex_);
    return model_.Faults();
}

uint8_t SimBoard::Register(uint8_t writeId, uint8_t instance, uint8_t page, uint8_t reg) const {
    std::lock_guard lock(mutex_);
    return model_.Chips().Register(writeId, instance, page, reg);
}

uint16_t SimBoard::PSGRegister(uint8_t writeId, uint8_t instance, int index) const {
    std::lock_guard lock(mutex_);
    return model_.Chips().PSGRegister(writeId, instance, index);
}

uint32_t SimBoard::ClockHz(uint8_t writeId, uint8_t instance) const {
    std::lock_guard lock(mutex_);
    return model_.Chips().ClockHz(writeId, instance);
}

uint8_t SimBoard::Attenuation() const {
    std::lock_guard lock(mutex_);
    return model_.Attenuation();
}

SimStreamStatus SimBoard::StreamStatus() const {
    std::lock_guard lock(mutex_);
    return model_.StreamStatus();
}

KL2DACStatus SimBoard::DACStatus() const {
    std::lock_guard lock(mutex_);
    return model_.DACStatus(lastNs_);
}

uint64_t SimBoard::BytesRead() const {
    std::lock_guard lock(mutex_);
    return bytesRead_;
}

uint64_t SimBoard::Requests() const {
    std::lock_guard lock(mutex_);
    return model_.Requests();
}

uint64_t SimBoard::RejectedPackets() const {
    std::lock_guard lock(mutex_);
    return model_.Rejected();
}

}  // namespace klink::sim
