#include "SimTrace.h"

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <nlohmann/json.hpp>

#include "common/Errors.h"

namespace klink::sim {

std::string_view TraceOpName(TSimTraceOp op) noexcept {
    switch (op) {
        case TSimTraceOp::Reg:
            return "reg";
        case TSimTraceOp::Reset:
            return "reset";
        case TSimTraceOp::Volume:
            return "volume";
        case TSimTraceOp::Clock:
            return "clock";
        case TSimTraceOp::Pan:
            return "pan";
        case TSimTraceOp::StreamStart:
            return "stream_start";
        case TSimTraceOp::StreamEnd:
            return "stream_end";
        case TSimTraceOp::DACStart:
            return "dac_start";
        case TSimTraceOp::DACEnd:
            return "dac_end";
        case TSimTraceOp::Fault:
            return "fault";
        case TSimTraceOp::Reject:
            return "reject";
    }
    return "?";
}

std::string_view WriteSourceName(TSimWriteSource source) noexcept {
    switch (source) {
        case TSimWriteSource::Host:
            return "host";
        case TSimWriteSource::Stream:
            return "stream";
        case TSimWriteSource::Event:
            return "event";
        case TSimWriteSource::DAC:
            return "dac";
    }
    return "?";
}

std::string FormatTraceLine(const TSimTraceEvent& e, std::string_view board) {
    std::string line = fmt::format(R"({{"t_us":{},"board":{},"op":"{}")", e.timeUs,
                                   nlohmann::json(std::string(board)).dump(), TraceOpName(e.op));
    switch (e.op) {
        case TSimTraceOp::Reg:
            line += fmt::format(R"(,"id":{},"inst":{},"page":{},"reg":{},"val":{},"src":"{}")", e.writeId,
                                e.instance, e.page, e.reg, e.value, WriteSourceName(e.source));
            break;
        case TSimTraceOp::Reset:
            break;
        case TSimTraceOp::Volume:
            line += fmt::format(R"(,"att":{})", e.number);
            break;
        case TSimTraceOp::Clock:
            line += fmt::format(R"(,"id":{},"inst":{},"hz":{})", e.writeId, e.instance, e.hz);
            if (e.divider != 0) line += fmt::format(R"(,"div":{})", e.divider);
            break;
        case TSimTraceOp::Pan:
            line += fmt::format(R"(,"val":{})", e.value);
            break;
        case TSimTraceOp::StreamStart:
            line += fmt::format(R"(,"clock":{},"div":{})", e.hz, e.divider);
            break;
        case TSimTraceOp::StreamEnd:
            line += fmt::format(R"(,"pos":{})", e.number);
            break;
        case TSimTraceOp::DACStart:
            line += fmt::format(R"(,"lead":{})", e.number);
            break;
        case TSimTraceOp::DACEnd:
            line += fmt::format(R"(,"tick":{})", e.number);
            break;
        case TSimTraceOp::Fault:
        case TSimTraceOp::Reject:
            line += R"(,"what":)" + nlohmann::json(e.what).dump();
            break;
    }
    line += '}';
    return line;
}

TSimTraceFile::TSimTraceFile(const std::filesystem::path& path) {
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) throw OSError::FromErrno(errno, path.string());
    thread_ = std::thread([this] { Run(); });
}

TSimTraceFile::~TSimTraceFile() { Close(); }

void TSimTraceFile::Append(std::string&& lines) {
    if (lines.empty()) return;
    std::lock_guard lock(mutex_);
    if (stop_) return;
    pending_ += lines;
    ++appended_;
    if (pending_.size() >= 64 * 1024) wake_.notify_one();
}

void TSimTraceFile::Flush() {
    std::unique_lock lock(mutex_);
    if (stop_) return;
    const uint64_t target = appended_;
    wake_.notify_one();
    flushed_.wait(lock, [&] { return written_ >= target || stop_; });
}

void TSimTraceFile::Close() {
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

void TSimTraceFile::Run() {
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
