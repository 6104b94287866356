#include "app/klinkplay/ConsoleHost.h"

#include <fmt/format.h>

#include <chrono>
#include <utility>

#include "app/klinkplay/InfoReport.h"
#include "vgm/GD3Text.h"
#include "vgm/VGMHeaderText.h"

namespace klinkplay {

namespace {

using F = klink::VGMHeaderField;

// Log texts use CR LF and may hold several lines; the console wants one
// line feed per line.
template <typename Each>
void ForEachLine(const std::string& text, Each&& each) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        size_t stop = end;
        if (stop > start && text[stop - 1] == '\r') --stop;
        each(text.substr(start, stop - start));
        start = end + 1;
    }
}

}  // namespace

std::string FormatPlaybackTime(int32_t ms) {
    if (ms < 0) ms = 0;
    return fmt::format("{:02d}:{:02d}.{:02d}", ms / 60000, (ms / 1000) % 60, (ms / 10) % 100);
}

ConsoleHost::ConsoleHost(std::ostream& out, bool liveStatus)
    : out_(out), liveStatus_(liveStatus), hostThread_(std::this_thread::get_id()) {}

void ConsoleHost::SetPort(int index, klink::platform::OSHandle handle, std::string name) {
    const size_t i = index == 0 ? 0 : 1;
    handles_[i] = handle;
    names_[i] = std::move(name);
}

void ConsoleHost::Synchronize(const std::function<void()>& call) {
    if (std::this_thread::get_id() == hostThread_) {
        call();
        return;
    }
    QueuedCall entry;
    entry.call = &call;
    std::unique_lock lock(lock_);
    calls_.push_back(&entry);
    queued_.notify_all();
    done_.wait(lock, [&entry] { return entry.done; });
    if (entry.failure) std::rethrow_exception(entry.failure);
}

void ConsoleHost::RunPending(uint32_t timeoutMs) {
    std::unique_lock lock(lock_);
    if (calls_.empty()) {
        queued_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !calls_.empty(); });
    }
    while (!calls_.empty()) {
        QueuedCall* entry = calls_.front();
        calls_.pop_front();
        lock.unlock();
        try {
            (*entry->call)();
        } catch (...) {
            lock.lock();
            entry->failure = std::current_exception();
            entry->done = true;
            done_.notify_all();
            continue;
        }
        lock.lock();
        entry->done = true;
        done_.notify_all();
    }
}

bool ConsoleHost::PortConnected(int index) const { return klink::platform::IsValidHandle(PortHandle(index)); }

klink::platform::OSHandle ConsoleHost::PortHandle(int index) const { return handles_[index == 0 ? 0 : 1]; }

std::string ConsoleHost::PortName(int index) const { return names_[index == 0 ? 0 : 1]; }

void ConsoleHost::ClearStatus() {
    if (statusShown_) {
        out_ << "\r\x1b[K";
        statusShown_ = false;
    }
}

void ConsoleHost::Print(const std::string& line) {
    ClearStatus();
    out_ << line << '\n';
    out_.flush();
}

void ConsoleHost::ShowTime(int32_t ms) {
    const std::string text = "Time " + FormatPlaybackTime(ms);
    if (liveStatus_) {
        out_ << '\r' << text << "\x1b[K";
        out_.flush();
        statusShown_ = true;
        return;
    }
    // Plain lines: one per second of playback, none before it has begun.
    const int32_t second = ms / 1000;
    if (ms > 0 && second != lastPlainSecond_) {
        lastPlainSecond_ = second;
        out_ << text << '\n';
        out_.flush();
    }
}

void ConsoleHost::EndStatus() {
    if (statusShown_) {
        out_ << '\n';
        out_.flush();
        statusShown_ = false;
    }
    lastPlainSecond_ = -1;
}

void ConsoleHost::AppendLog(const std::string& line) {
    ForEachLine(line, [this](const std::string& one) { Print(one); });
}

void ConsoleHost::ClearHeaderAndTags() { headerShown_ = false; }

void ConsoleHost::ShowHeader(const klink::VGMHeaderSummary& header) {
    // The header is shown again when the loop offset is rejected; the log
    // line says so already.
    if (headerShown_) return;
    headerShown_ = true;
    const klink::VGMHeaderTexts d = klink::FormatVGMHeader(header);
    Print(fmt::format("Version {}, {}, data at {}, GD3 at {}, EoF {}", d[F::kVersion], d[F::kFileSize],
                      d[F::kDataOffset], d[F::kGD3Offset], d[F::kEofOffset]));
    Print(fmt::format("Samples {}, loop offset {}, loop samples {}", d[F::kTotalSamples], d[F::kLoopOffset],
                      d[F::kLoopSamples]));
    const std::string clocks = HeaderClocksText(d);
    if (!clocks.empty()) Print("Clocks: " + clocks);
}

void ConsoleHost::ShowTags(const klink::GD3Strings& gd3) {
    // English and Japanese pairs first, then release date, converter, notes.
    static constexpr std::array<const char*, 4> kPairs{"Track", "Game", "System", "Composer"};
    for (size_t i = 0; i < kPairs.size(); ++i) {
        const std::string en = klink::UTF16ToUTF8(gd3[2 * i]);
        const std::string jp = klink::UTF16ToUTF8(gd3[2 * i + 1]);
        if (en.empty() && jp.empty()) continue;
        std::string text = en.empty() ? jp : en;
        if (!en.empty() && !jp.empty() && jp != en) text += " / " + jp;
        Print(fmt::format("{}: {}", kPairs[i], text));
    }
    const std::string date = klink::UTF16ToUTF8(gd3[8]);
    if (!date.empty()) Print("Release: " + date);
    const std::string by = klink::UTF16ToUTF8(gd3[9]);
    if (!by.empty()) Print("VGM by: " + by);
    const std::string notes = klink::UTF16ToUTF8(gd3[10]);
    if (!notes.empty()) {
        ForEachLine(notes, [this](const std::string& one) { Print("Notes: " + one); });
    }
}

void ConsoleHost::SetFilePath(const std::string& path) { Print("Playing " + path); }

void ConsoleHost::SetOpenDialogHints(const std::string&, const std::string&) {}

}  // namespace klinkplay
