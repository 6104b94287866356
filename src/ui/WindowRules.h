#pragma once
// The main window's rules that need no display: playlist reordering and
// deletion with the three playlist indexes, the time text, the repeat
// selector, placement clamping and port selection. The Qt window calls these;
// tests call them directly.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace klink {

// The three playlist rows the window tracks; -1 = none.
struct PlaylistIndexes {
    int32_t playing = -1;  // row now playing
    int32_t next = -1;     // row to play when it completes
    int32_t last = -1;     // row of the last started track

    friend bool operator==(const PlaylistIndexes&, const PlaylistIndexes&) = default;
};

// Where a drag of the selected rows inside the list would insert them: the
// row under the pointer (-1 none -> the end of the list), plus one when the
// pointer is in that row's lower half. nullopt when the pointer is on a
// selected row: such a drop changes nothing.
[[nodiscard]] std::optional<int32_t> PlaylistInsertionPoint(const std::vector<bool>& selected,
                                                            int32_t rowUnder, bool lowerHalf);

struct PlaylistMove {
    std::vector<int32_t> order;  // Order[new row] = old row
    PlaylistIndexes indexes;     // the three indexes after the move
    int32_t focused = -1;        // the focused row's new index
};

// Moves the selected rows as one block, in their old order, to the insertion
// point (counted in old rows); unselected rows keep their order. Each index
// follows its row; then the row after the playing one becomes next, or, with
// nothing playing, a next index that pointed past the end stays past the end.
[[nodiscard]] PlaylistMove MovePlaylistRows(const std::vector<bool>& selected, int32_t insertionPoint,
                                            PlaylistIndexes indexes, int32_t focused);

// The indexes after deleting every selected row. Deleting the playing row
// clears `playing` (playback goes on) and leaves `next` on the row after it.
[[nodiscard]] PlaylistIndexes DeletePlaylistRows(const std::vector<bool>& selected, PlaylistIndexes indexes);

// "mm:ss.cc" for a position in milliseconds; minutes are not wrapped.
[[nodiscard]] std::string FormatPlaybackTime(int32_t ms);

// Passes through the loop for a repeat selector item: 0-4 -> 1-5, 5 ("無限")
// -> 0 (endless), anything else (no selection) -> 1.
[[nodiscard]] int32_t RepeatCountForIndex(int32_t index) noexcept;

struct Rect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;

    friend bool operator==(const Rect&, const Rect&) = default;
};

// Fits a saved window rectangle into a work area: no larger than the area but
// never below the minimum size, then moved inside it with the left and top
// edges winning.
[[nodiscard]] Rect ClampWindowBounds(Rect saved, Rect workArea, int32_t minWidth, int32_t minHeight) noexcept;

// The frame a window manager draws around the client area, in pixels.
struct FrameMargins {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// As ClampWindowBounds, but for the whole window: the client rectangle plus
// its frame (title bar, borders) is fitted into the work area, so that a
// restored window never has its title bar or bottom edge off screen. Returns
// the client rectangle.
[[nodiscard]] Rect ClampWindowFrame(Rect client, FrameMargins frame, Rect workArea, int32_t minWidth,
                                    int32_t minHeight) noexcept;

// How long a track plays, in ms, from its header's sample counts: the intro
// and one pass through the loop (`totalSamples`), one more loop pass for each
// further repeat, then the fade-out. Without a loop (`loopOffset` 0 or no
// loop samples) the track ends at its end command: no repeats, no fade.
// nullopt for an endless repeat (`repeatCount` 0) of a looping track.
[[nodiscard]] std::optional<int64_t> TrackLengthMs(uint32_t totalSamples, uint32_t loopOffset,
                                                   uint32_t loopSamples, int32_t repeatCount,
                                                   int32_t fadeSeconds) noexcept;

// The time display's companion: "/ mm:ss.cc" of the track's length, "/ ∞"
// for an endless one.
[[nodiscard]] std::string FormatTrackLength(std::optional<int64_t> lengthMs);

// The sample display: VGM samples (44100 per second) of a position in ms.
[[nodiscard]] int64_t PositionSamples(int32_t ms) noexcept;

// The paths joined by CR LF, empty ones left out.
[[nodiscard]] std::string JoinPlaylistPaths(const std::vector<std::string>& paths);

// ".vgm" or ".vgz", ignoring case.
[[nodiscard]] bool HasPlayableExtension(std::string_view path) noexcept;

// Line breaks in a title or game name become spaces (a row has one line).
[[nodiscard]] std::string SingleLineText(std::string text);

// Case-insensitive (ASCII) equality, as port names and paths are compared.
[[nodiscard]] bool SameTextIgnoringCase(std::string_view a, std::string_view b) noexcept;

// The item a port selector selects after a refill: the wanted name ignoring
// case, else the first item, else -1 for an empty list.
[[nodiscard]] int32_t ChoosePortItem(const std::vector<std::string>& items, std::string_view wanted) noexcept;

}  // namespace klink
