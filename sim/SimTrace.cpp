#include "SimTrace.h"

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <nlohmann/json.hpp>

#include "common/Errors.h"
#include "platform/CFile.h"

namespace klink::sim {

std::string_view TraceOpName(SimTraceOp op) noexcept {
    switch (op) {
        case SimTraceOp::kReg:
            return "reg";
        case SimTraceOp::kReset:
            return "reset";
        case SimTraceOp::kVolume:
            return "volume";
        case SimTraceOp::kClock:
            return "clock";
        case SimTraceOp::kPan:
            return "pan";
        case SimTraceOp::kStreamStart:
            return "stream_start";
        case SimTraceOp::kStreamEnd:
            return "stream_end";
        case SimTraceOp::kDACStart:
            return "dac_start";
        case SimTraceOp::kDACEnd:
            return "dac_end";
        case SimTraceOp::kFault:
            return "fault";
        case SimTraceOp::kReject:
            return "reject";
    }
    return "?";
}

std::string_view WriteSourceName(SimWriteSource source) noexcept {
    switch (source) {
        case SimWriteSource::kHost:
            return "host";
        case SimWriteSource::kStream:
            return "stream";
        case SimWriteSource::kEvent:
            return "event";
        case SimWriteSource::kDAC:
            return "dac";
    }
    return "?";
}

std::string FormatTraceLine(const SimTraceEvent& e, std::string_view board) {
    std::string line = fmt::format(R"({{"t_us":{},"board":{},"op":"{}")", e.timeUs,
                                   nlohmann::json(std::string(board)).dump(), TraceOpName(e.op));
    switch (e.op) {
        case SimTraceOp::kReg:
            line += fmt::format(R"(,"id":{},"inst":{},"page":{},"reg":{},"val":{},"src":"{}")", e.writeId,
                                e.instance, e.page, e.reg, e.value, WriteSourceName(e.source));
            break;
        case SimTraceOp::kReset:
            break;
        case SimTraceOp::kVolume:
            line += fmt::format(R"(,"att":{})", e.number);
            break;
        case SimTraceOp::kClock:
            line += fmt::format(R"(,"id":{},"inst":{},"hz":{})", e.writeId, e.instance, e.hz);
            if (e.divider != 0) line += fmt::format(R"(,"div":{})", e.divider);
            break;
        case SimTraceOp::kPan:
            line += fmt::format(R"(,"val":{})", e.value);
            break;
        case SimTraceOp::kStreamStart:
            line += fmt::format(R"(,"clock":{},"div":{})", e.hz, e.divider);
            break;
        case SimTraceOp::kStreamEnd:
            line += fmt::format(R"(,"pos":{},"silence":{})", e.number, e.value);
            break;
        case SimTraceOp::kDACStart:
            line += fmt::format(R"(,"lead":{})", e.number);
            break;
        case SimTraceOp::kDACEnd:
            line += fmt::format(R"(,"tick":{})", e.number);
            break;
        case SimTraceOp::kFault:
        case SimTraceOp::kReject:
            line += R"(,"what":)" + nlohmann::json(e.what).dump();
            break;
    }
    line += '}';
    return line;
}

SimTraceFile::SimTraceFile(const std::filesystem::path& path) {
    file_ = platform::OpenCFile(path, "w");
    if (file_ == nullptr) throw OSError::FromErrno(errno, path.string());
    thread_ = std::thread([this] { Run(); });
}

SimTraceFile::~SimTraceFile() { Close(); }

void SimTraceFile::Append(std::string&& lines) {
    if (lines.empty()) return;
    std::lock_guard lock(mutex_);
    if (stop_) return;
    pending_ += lines;
    ++appended_;
    if (pending_.size() >= 64 * 1024) wake_.notify_one();
}

void SimTraceFile::Flush() {
    std::unique_lock lock(mutex_);
    if (stop_) return;
    const uint64_t target = appended_;
    wake_.notify_one();
    flushed_.wait(lock, [&] { return written_ >= target || stop_; });
}

void SimTraceFile::Close() {
    {
        std::lock_guard lock(mutex_);
        if (stop_ && !thread_.joinable()) return;
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

void SimTraceFile::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, std::chrono::milliseconds(200));
        std::string block;
        block.swap(pending_);
        const uint64_t upTo = appended_;
        const bool last = stop_;
        lock.unlock();
        if (!block.empty()) std::fwrite(block.data(), 1, block.size(), file_);
        std::fflush(file_);
        lock.lock();
        written_ = upTo;
        flushed_.notify_all();
        if (last && pending_.empty()) return;
    }
}

}  // namespace klink::sim
