#pragma once
// The user's working state between runs: preferred ports, the repeat and fade
// selections, the window's placement, the playlist and the last track. One
// compact JSON file per user; the window restores it at start and saves it at
// the end. No Qt here: the window converts to and from its own types.
//
// Strings are UTF-8 in memory. The file is plain ASCII: every character
// above 0x7F is written as \uXXXX escapes of its UTF-16 code units.

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace klink {

struct TKLINKSessionTrack {
    std::string Path;  // full path; never empty in a loaded record
    std::string Title;
    std::string GameName;

    friend bool operator==(const TKLINKSessionTrack&, const TKLINKSessionTrack&) = default;
};

struct TKLINKSessionState {
    std::string ComPort;           // preferred port of connection 1
    std::string ComPort2;          // of connection 2
    bool HasWindowBounds = false;  // the four bounds below are valid
    bool Maximized = false;
    // The window's normal (restored) rectangle in screen coordinates.
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t RepeatIndex = 0;  // repeat selector item, 0-5
    int32_t FadeIndex = 4;    // fade selector item, 0-5 (4 = 10 seconds)
    std::vector<TKLINKSessionTrack> Playlist;
    std::string LastTrackPath;    // the last started track
    int32_t LastTrackIndex = -1;  // its playlist row; -1 = none
    int32_t SelectedIndex = -1;   // focused playlist row; -1 = none

    friend bool operator==(const TKLINKSessionState&, const TKLINKSessionState&) = default;
};

[[nodiscard]] TKLINKSessionState DefaultSession();

// <local application-data folder>/KLINKdev/session.json (see
// platform::LocalAppDataFolder).
[[nodiscard]] std::string SessionFilePath();

// Reads the session file into State. False when the file does not exist
// (State is then the default record); true when it was read. A damaged file
// raises ReadError with one of the fixed messages, and State holds the
// default record: nothing of a damaged file is applied. A file that exists
// but cannot be read raises OSError.
[[nodiscard]] bool LoadSession(const std::string& FileName, TKLINKSessionState& State);

// Writes the session atomically: a temporary file next to FileName, flushed
// to disk, then moved over FileName. Creates missing folders ("Cannot create
// session folder.", WriteError). A failed write or move raises OSError with
// the system's text; the old file stays untouched and no temporary file is
// left behind.
void SaveSession(const std::string& FileName, const TKLINKSessionState& State);

// Member readers. A missing member gives Default. ReadSessionString takes only
// a JSON string ("Invalid session string: " + Name otherwise);
// ReadSessionInteger only a number written as a plain decimal integer that
// fits in 32 bits ("Invalid session integer: " + Name otherwise: strings,
// null, fractions, exponent forms, values past 32 bits).
[[nodiscard]] std::string ReadSessionString(const nlohmann::json& Object, const std::string& Name,
                                            const std::string& Default);
[[nodiscard]] int32_t ReadSessionInteger(const nlohmann::json& Object, const std::string& Name,
                                         int32_t Default);

// The exact text SaveSession writes for State.
[[nodiscard]] std::string SessionJSONText(const TKLINKSessionState& State);

// A JSON string literal with this file's escapes (quotes included).
[[nodiscard]] std::string EscapeSessionString(std::string_view utf8);

// A new random GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
[[nodiscard]] std::string NewGUIDText();

}  // namespace klink
