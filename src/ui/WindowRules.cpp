#include "ui/WindowRules.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace klink {

std::optional<int32_t> PlaylistInsertionPoint(const std::vector<bool>& selected, int32_t rowUnder,
                                              bool lowerHalf) {
    const auto count = static_cast<int32_t>(selected.size());
    if (rowUnder < 0 || rowUnder >= count) {
        return count;
    }
    if (selected[static_cast<size_t>(rowUnder)]) {
        return std::nullopt;
    }
    return lowerHalf ? rowUnder + 1 : rowUnder;
}

PlaylistMove MovePlaylistRows(const std::vector<bool>& selected, int32_t insertionPoint,
                              PlaylistIndexes indexes, int32_t focused) {
    const auto count = static_cast<int32_t>(selected.size());
    std::vector<int32_t> unselected;
    std::vector<int32_t> moving;
    int32_t before = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (selected[static_cast<size_t>(i)]) {
            moving.push_back(i);
        } else {
            unselected.push_back(i);
            if (i < insertionPoint) {
                ++before;
            }
        }
    }

    PlaylistMove move;
    move.order = unselected;
    move.order.insert(move.order.begin() + before, moving.begin(), moving.end());

    auto newIndexOf = [&](int32_t old) {
        if (old < 0) {
            return int32_t{-1};
        }
        auto it = std::find(move.order.begin(), move.order.end(), old);
        return it == move.order.end() ? int32_t{-1} : static_cast<int32_t>(it - move.order.begin());
    };
    move.focused = newIndexOf(focused);
    move.indexes.playing = newIndexOf(indexes.playing);
    move.indexes.next = newIndexOf(indexes.next);
    move.indexes.last = newIndexOf(indexes.last);
    if (move.indexes.playing >= 0) {
        move.indexes.next = move.indexes.playing + 1;
    } else if (indexes.next >= count) {
        move.indexes.next = count;
    }
    return move;
}

PlaylistIndexes DeletePlaylistRows(const std::vector<bool>& selected, PlaylistIndexes indexes) {
    for (auto i = static_cast<int32_t>(selected.size()) - 1; i >= 0; --i) {
        if (!selected[static_cast<size_t>(i)]) {
            continue;
        }
        if (i == indexes.playing) {
            indexes.playing = -1;
        } else if (i < indexes.playing) {
            --indexes.playing;
        }
        if (i < indexes.next) {
            --indexes.next;
        }
        if (i == indexes.last) {
            indexes.last = -1;
        } else if (i < indexes.last) {
            --indexes.last;
        }
    }
    return indexes;
}

std::string FormatPlaybackTime(int32_t ms) {
    char text[40];
    std::snprintf(text, sizeof text, "%.2d:%.2d.%.2d", ms / 60000, (ms / 1000) % 60, (ms / 10) % 100);
    return text;
}

int32_t RepeatCountForIndex(int32_t index) noexcept {
    if (index >= 0 && index <= 4) {
        return index + 1;
    }
    if (index == 5) {
        return 0;
    }
    return 1;
}

Rect ClampWindowBounds(Rect saved, Rect workArea, int32_t minWidth, int32_t minHeight) noexcept {
    // 64-bit arithmetic: saved values come from a file and may be extreme.
    const int64_t workRight = int64_t{workArea.left} + workArea.width;
    const int64_t workBottom = int64_t{workArea.top} + workArea.height;
    int64_t width = std::min<int64_t>(saved.width, workArea.width);
    int64_t height = std::min<int64_t>(saved.height, workArea.height);
    width = std::max<int64_t>(width, minWidth);
    height = std::max<int64_t>(height, minHeight);
    int64_t left = std::min<int64_t>(saved.left, workRight - width);
    int64_t top = std::min<int64_t>(saved.top, workBottom - height);
    left = std::max<int64_t>(left, workArea.left);
    top = std::max<int64_t>(top, workArea.top);
    return Rect{static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(width),
                static_cast<int32_t>(height)};
}

Rect ClampWindowFrame(Rect client, FrameMargins frame, Rect workArea, int32_t minWidth,
                      int32_t minHeight) noexcept {
    // Frame sizes come from the window system; never let one shrink the window.
    const int32_t left = std::max(frame.left, 0);
    const int32_t top = std::max(frame.top, 0);
    const int32_t across = left + std::max(frame.right, 0);
    const int32_t down = top + std::max(frame.bottom, 0);
    const auto grow = [](int32_t value, int32_t by) {
        return static_cast<int32_t>(std::clamp<int64_t>(int64_t{value} + by, INT32_MIN, INT32_MAX));
    };
    const Rect outer = ClampWindowBounds(Rect{grow(client.left, -left), grow(client.top, -top),
                                              grow(client.width, across), grow(client.height, down)},
                                         workArea, grow(minWidth, across), grow(minHeight, down));
    return Rect{outer.left + left, outer.top + top, outer.width - across, outer.height - down};
}

std::optional<int64_t> TrackLengthMs(uint32_t totalSamples, uint32_t loopOffset, uint32_t loopSamples,
                                     int32_t repeatCount, int32_t fadeSeconds) noexcept {
    constexpr int64_t kSampleRate = 44100;
    const bool loops = loopOffset != 0 && loopSamples != 0;
    if (!loops) {
        return int64_t{totalSamples} * 1000 / kSampleRate;
    }
    if (repeatCount <= 0) {
        return std::nullopt;
    }
    const int64_t samples = int64_t{totalSamples} + int64_t{loopSamples} * (repeatCount - 1);
    return samples * 1000 / kSampleRate + int64_t{std::max(fadeSeconds, 0)} * 1000;
}

std::string FormatTrackLength(std::optional<int64_t> lengthMs) {
    if (!lengthMs) {
        return "/ \u221E";
    }
    return "/ " + FormatPlaybackTime(static_cast<int32_t>(std::min<int64_t>(*lengthMs, INT32_MAX)));
}

int64_t PositionSamples(int32_t ms) noexcept { return int64_t{std::max(ms, 0)} * 44100 / 1000; }

std::string JoinPlaylistPaths(const std::vector<std::string>& paths) {
    std::string out;
    for (const std::string& p : paths) {
        if (p.empty()) {
            continue;
        }
        if (!out.empty()) {
            out += "\r\n";
        }
        out += p;
    }
    return out;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) noexcept {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

bool HasPlayableExtension(std::string_view path) noexcept {
    if (path.size() < 4) {
        return false;
    }
    std::string_view ext = path.substr(path.size() - 4);
    return SameTextIgnoringCase(ext, ".vgm") || SameTextIgnoringCase(ext, ".vgz");
}

std::string SingleLineText(std::string text) {
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

int32_t ChoosePortItem(const std::vector<std::string>& items, std::string_view wanted) noexcept {
    for (size_t i = 0; i < items.size(); ++i) {
        if (SameTextIgnoringCase(items[i], wanted)) {
            return static_cast<int32_t>(i);
        }
    }
    return items.empty() ? -1 : 0;
}

}  // namespace klink
