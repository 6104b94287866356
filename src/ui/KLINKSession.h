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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace klink {

struct KLINKSessionTrack {
    std::string path;  // full path; never empty in a loaded record
    std::string title;
    std::string gameName;

    friend bool operator==(const KLINKSessionTrack&, const KLINKSessionTrack&) = default;
};

struct KLINKSessionState {
    std::string comPort;           // preferred port of connection 1
    std::string comPort2;          // of connection 2
    bool hasWindowBounds = false;  // the four bounds below are valid
    bool maximized = false;
    // The window's normal (restored) rectangle in screen coordinates.
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t repeatIndex = 0;  // repeat selector item, 0-5
    int32_t fadeIndex = 4;    // fade selector item, 0-5 (4 = 10 seconds)
    std::vector<KLINKSessionTrack> playlist;
    std::string lastTrackPath;    // the last started track
    int32_t lastTrackIndex = -1;  // its playlist row; -1 = none
    int32_t selectedIndex = -1;   // focused playlist row; -1 = none
    // Who times the writes of a file without samples: "host", "board" or
    // "auto" (see player/BoardTiming.h). Written last, as "timing"; a reader
    // that does not know the member ignores it, and an unknown value reads
    // as "auto".
    std::string timing = "auto";

    friend bool operator==(const KLINKSessionState&, const KLINKSessionState&) = default;
};

[[nodiscard]] KLINKSessionState DefaultSession();

// <local application-data folder>/KLINKdev/session.json (see
// platform::LocalAppDataFolder).
[[nodiscard]] std::string SessionFilePath();

// Reads the session file; nullopt when it does not exist. A damaged file
// raises ReadError with one of the fixed messages (nothing of it is handed
// out); a file that exists but cannot be read raises OSError.
[[nodiscard]] std::optional<KLINKSessionState> LoadSession(const std::string& fileName);

// The session from the file's content, with LoadSession's checks and messages.
[[nodiscard]] KLINKSessionState ParseSessionText(std::string_view text);

// Writes the session atomically: a temporary file next to fileName, flushed
// to disk, then moved over fileName. Creates missing folders ("Cannot create
// session folder.", WriteError). A failed write or move raises OSError with
// the system's text; the old file stays untouched and no temporary file is
// left behind.
void SaveSession(const std::string& fileName, const KLINKSessionState& state);

// Member readers. A missing member gives `fallback`. ReadSessionString takes only
// a JSON string ("Invalid session string: " + `name` otherwise);
// ReadSessionInteger only a number written as a plain decimal integer that
// fits in 32 bits ("Invalid session integer: " + `name` otherwise: strings,
// null, fractions, exponent forms, values past 32 bits).
[[nodiscard]] std::string ReadSessionString(const nlohmann::json& object, const std::string& name,
                                            const std::string& fallback);
[[nodiscard]] int32_t ReadSessionInteger(const nlohmann::json& object, const std::string& name,
                                         int32_t fallback);

// The exact text SaveSession writes for `state`.
[[nodiscard]] std::string SessionJSONText(const KLINKSessionState& state);

// A JSON string literal with this file's escapes (quotes included).
[[nodiscard]] std::string EscapeSessionString(std::string_view utf8);

// A new random GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
[[nodiscard]] std::string NewGUIDText();

}  // namespace klink
