#include "ui/KLINKSession.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <system_error>

#include "common/Errors.h"
#include "platform/DurableFile.h"
#include "platform/PathText.h"
#include "platform/UserFolders.h"

namespace klink {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int32_t kSessionSchema = 1;
constexpr int32_t kDefaultRepeatIndex = 0;
constexpr int32_t kDefaultFadeIndex = 4;
constexpr const char* kDefaultTiming = "auto";
constexpr int32_t kLastSelectorIndex = 5;

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// True for a complete JSON number token (RFC 8259 grammar).
bool IsJSONNumber(std::string_view t) noexcept {
    size_t i = 0;
    if (i < t.size() && t[i] == '-') {
        ++i;
    }
    if (i >= t.size() || !IsDigit(t[i])) {
        return false;
    }
    if (t[i] == '0') {
        ++i;
    } else {
        while (i < t.size() && IsDigit(t[i])) {
            ++i;
        }
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        if (i >= t.size() || !IsDigit(t[i])) {
            return false;
        }
        while (i < t.size() && IsDigit(t[i])) {
            ++i;
        }
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
            ++i;
        }
        if (i >= t.size() || !IsDigit(t[i])) {
            return false;
        }
        while (i < t.size() && IsDigit(t[i])) {
            ++i;
        }
    }
    return i == t.size();
}

// The JSON library keeps only a number's value, and refuses numbers whose
// value overflows a double ("1e400") as if the file were not JSON. A session
// integer must be written as a plain decimal integer, so every number with a
// fraction or an exponent is replaced by the stand-in 0.5 before parsing: it
// stays a number (a valid file stays valid) and reads as "not an integer".
// Plain integers are left alone; their range is checked after parsing.
std::string NeutraliseNonIntegerNumbers(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            // Copy a string literal whole, escapes included.
            size_t j = i + 1;
            while (j < text.size() && text[j] != '"') {
                j += (text[j] == '\\') ? 2 : 1;
            }
            j = std::min(j + 1, text.size());
            out.append(text.substr(i, j - i));
            i = j;
        } else if (c == '-' || IsDigit(c)) {
            size_t j = i;
            while (j < text.size() && (IsDigit(text[j]) || text[j] == '-' || text[j] == '+' ||
                                       text[j] == '.' || text[j] == 'e' || text[j] == 'E')) {
                ++j;
            }
            std::string_view token = text.substr(i, j - i);
            if (IsJSONNumber(token) && token.find_first_of(".eE") != std::string_view::npos) {
                out += "0.5";
            } else {
                out.append(token);
            }
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

std::string FileNamePart(const std::string& path) {
    return platform::Utf8FromPath(platform::PathFromUtf8(path).filename());
}

// Appends the UTF-16 code units of the UTF-8 text; malformed sequences become
// U+FFFD, one per bad byte.
void AppendUTF16Units(std::string_view utf8, std::u16string& units) {
    size_t i = 0;
    while (i < utf8.size()) {
        auto b0 = static_cast<unsigned char>(utf8[i]);
        char32_t cp = 0xFFFD;
        size_t length = 1;
        size_t need = 0;
        char32_t min = 0;
        if (b0 < 0x80) {
            cp = b0;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            need = 1, cp = b0 & 0x1F, min = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            need = 2, cp = b0 & 0x0F, min = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            need = 3, cp = b0 & 0x07, min = 0x10000;
        }
        if (need > 0) {
            bool ok = i + need < utf8.size();
            for (size_t k = 1; ok && k <= need; ++k) {
                auto b = static_cast<unsigned char>(utf8[i + k]);
                if ((b & 0xC0) != 0x80) {
                    ok = false;
                } else {
                    cp = (cp << 6) | (b & 0x3F);
                }
            }
            if (ok && cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF)) {
                length = need + 1;
            } else {
                cp = 0xFFFD;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units += static_cast<char16_t>(0xD800 + (cp >> 10));
            units += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            units += static_cast<char16_t>(cp);
        }
        i += length;
    }
}

void AppendInteger(std::string& out, int32_t value) { out += std::to_string(value); }

}  // namespace

KLINKSessionState DefaultSession() { return KLINKSessionState{}; }

std::string SessionFilePath() {
    return platform::Utf8FromPath(platform::LocalAppDataFolder() / "KLINKdev" / "session.json");
}

std::string ReadSessionString(const json& object, const std::string& name, const std::string& fallback) {
    auto it = object.find(name);
    if (it == object.end()) {
        return fallback;
    }
    if (!it->is_string()) {
        throw ReadError("Invalid session string: " + name);
    }
    return it->get<std::string>();
}

int32_t ReadSessionInteger(const json& object, const std::string& name, int32_t fallback) {
    auto it = object.find(name);
    if (it == object.end()) {
        return fallback;
    }
    // Numbers with a fraction or exponent were turned into floats before
    // parsing, so an integer type here means the text was a plain integer.
    if (it->is_number_integer() && !it->is_number_unsigned()) {
        auto value = it->get<int64_t>();
        if (value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max()) {
            return static_cast<int32_t>(value);
        }
    } else if (it->is_number_unsigned()) {
        auto value = it->get<uint64_t>();
        if (value <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
            return static_cast<int32_t>(value);
        }
    }
    throw ReadError("Invalid session integer: " + name);
}

std::optional<KLINKSessionState> LoadSession(const std::string& fileName) {
    std::error_code ec;
    if (!fs::exists(platform::PathFromUtf8(fileName), ec)) {
        return std::nullopt;
    }
    std::ifstream in(platform::PathFromUtf8(fileName), std::ios::binary);
    if (!in) {
        throw OSError::FromErrno(errno != 0 ? errno : EIO);
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw OSError::FromErrno(errno != 0 ? errno : EIO);
    }
    return ParseSessionText(text);
}

KLINKSessionState ParseSessionText(std::string_view text) {
    std::string_view body = text;
    if (body.size() >= 3 && body.substr(0, 3) == "\xEF\xBB\xBF") {
        body.remove_prefix(3);
    }
    // The JSON library skips a byte-order mark of its own accord; a second
    // mark is not JSON text.
    if (body.size() >= 3 && body.substr(0, 3) == "\xEF\xBB\xBF") {
        throw ReadError("Invalid session JSON.");
    }

    json root = json::parse(NeutraliseNonIntegerNumbers(body), nullptr, /*allow_exceptions=*/false);
    if (!root.is_object()) {
        throw ReadError("Invalid session JSON.");
    }
    if (ReadSessionInteger(root, "schema", 0) != kSessionSchema) {
        throw ReadError("Unknown session schema.");
    }

    KLINKSessionState r = DefaultSession();
    r.comPort = ReadSessionString(root, "com_port", "");
    r.comPort2 = ReadSessionString(root, "com_port_2", "");
    r.repeatIndex = ReadSessionInteger(root, "repeat_index", kDefaultRepeatIndex);
    if (r.repeatIndex < 0 || r.repeatIndex > kLastSelectorIndex) {
        r.repeatIndex = kDefaultRepeatIndex;
    }
    r.fadeIndex = ReadSessionInteger(root, "fade_index", kDefaultFadeIndex);
    if (r.fadeIndex < 0 || r.fadeIndex > kLastSelectorIndex) {
        r.fadeIndex = kDefaultFadeIndex;
    }

    if (auto it = root.find("window"); it != root.end()) {
        if (!it->is_object()) {
            throw ReadError("Invalid session window.");
        }
        r.left = ReadSessionInteger(*it, "left", 0);
        r.top = ReadSessionInteger(*it, "top", 0);
        r.width = ReadSessionInteger(*it, "width", 0);
        r.height = ReadSessionInteger(*it, "height", 0);
        r.hasWindowBounds = r.width > 0 && r.height > 0;
        r.maximized = ReadSessionInteger(*it, "maximized", 0) == 1;
    }

    if (auto it = root.find("playlist"); it != root.end()) {
        if (!it->is_array()) {
            throw ReadError("Invalid session playlist.");
        }
        for (const json& element : *it) {
            if (!element.is_object()) {
                throw ReadError("Invalid session track.");
            }
            KLINKSessionTrack track;
            track.path = ReadSessionString(element, "path", "");
            if (track.path.empty()) {
                throw ReadError("Empty session track path.");
            }
            track.title = ReadSessionString(element, "title", FileNamePart(track.path));
            track.gameName = ReadSessionString(element, "game", "");
            r.playlist.push_back(std::move(track));
        }
    }

    if (auto it = root.find("last_track"); it != root.end()) {
        if (!it->is_object()) {
            throw ReadError("Invalid last session track.");
        }
        r.lastTrackPath = ReadSessionString(*it, "path", "");
        r.lastTrackIndex = ReadSessionInteger(*it, "index", -1);
    }

    r.selectedIndex = ReadSessionInteger(root, "selected_index", -1);
    r.timing = ReadSessionString(root, "timing", kDefaultTiming);
    if (r.timing != "host" && r.timing != "board" && r.timing != "auto") {
        r.timing = kDefaultTiming;
    }

    return r;
}

std::string EscapeSessionString(std::string_view utf8) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::u16string units;
    AppendUTF16Units(utf8, units);
    std::string out = "\"";
    for (char16_t u : units) {
        switch (u) {
            case u'"':
                out += "\\\"";
                break;
            case u'\\':
                out += "\\\\";
                break;
            case u'\b':
                out += "\\b";
                break;
            case u'\t':
                out += "\\t";
                break;
            case u'\n':
                out += "\\n";
                break;
            case u'\f':
                out += "\\f";
                break;
            case u'\r':
                out += "\\r";
                break;
            default:
                if (u < 0x20 || u > 0x7F) {
                    out += "\\u";
                    out += kHex[(u >> 12) & 0xF];
                    out += kHex[(u >> 8) & 0xF];
                    out += kHex[(u >> 4) & 0xF];
                    out += kHex[u & 0xF];
                } else {
                    out += static_cast<char>(u);
                }
        }
    }
    out += '"';
    return out;
}

std::string SessionJSONText(const KLINKSessionState& state) {
    std::string out = "{\"schema\":";
    AppendInteger(out, kSessionSchema);
    out += ",\"com_port\":" + EscapeSessionString(state.comPort);
    out += ",\"com_port_2\":" + EscapeSessionString(state.comPort2);
    out += ",\"repeat_index\":";
    AppendInteger(out, state.repeatIndex);
    out += ",\"fade_index\":";
    AppendInteger(out, state.fadeIndex);
    if (state.hasWindowBounds) {
        out += ",\"window\":{\"left\":";
        AppendInteger(out, state.left);
        out += ",\"top\":";
        AppendInteger(out, state.top);
        out += ",\"width\":";
        AppendInteger(out, state.width);
        out += ",\"height\":";
        AppendInteger(out, state.height);
        out += ",\"maximized\":";
        AppendInteger(out, state.maximized ? 1 : 0);
        out += '}';
    }
    out += ",\"playlist\":[";
    for (size_t i = 0; i < state.playlist.size(); ++i) {
        const KLINKSessionTrack& t = state.playlist[i];
        if (i > 0) {
            out += ',';
        }
        out += "{\"path\":" + EscapeSessionString(t.path);
        out += ",\"title\":" + EscapeSessionString(t.title);
        out += ",\"game\":" + EscapeSessionString(t.gameName);
        out += '}';
    }
    out += "],\"last_track\":{\"path\":" + EscapeSessionString(state.lastTrackPath);
    out += ",\"index\":";
    AppendInteger(out, state.lastTrackIndex);
    out += "},\"selected_index\":";
    AppendInteger(out, state.selectedIndex);
    out += ",\"timing\":" + EscapeSessionString(state.timing);
    out += '}';
    return out;
}

std::string NewGUIDText() {
    static thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    std::array<uint8_t, 16> b{};
    uint64_t hi = engine();
    uint64_t lo = engine();
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<uint8_t>(hi >> (56 - 8 * i));
        b[8 + i] = static_cast<uint8_t>(lo >> (56 - 8 * i));
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4: random
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out += '-';
        }
        out += kHex[b[i] >> 4];
        out += kHex[b[i] & 0xF];
    }
    out += '}';
    return out;
}

void SaveSession(const std::string& fileName, const KLINKSessionState& state) {
    const std::string text = SessionJSONText(state);

    std::error_code ec;
    fs::path target = fs::absolute(platform::PathFromUtf8(fileName), ec);
    if (ec) {
        throw WriteError("Cannot create session folder.");
    }
    fs::path folder = target.parent_path();
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder, ec)) {
        throw WriteError("Cannot create session folder.");
    }

    const fs::path temporary = platform::PathFromUtf8(fileName + "." + NewGUIDText() + ".tmp");
    try {
        platform::WriteFileDurably(temporary, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
        platform::ReplaceFileDurably(temporary, platform::PathFromUtf8(fileName));
    } catch (...) {
        fs::remove(temporary, ec);
        throw;
    }
    fs::remove(temporary, ec);
}

}  // namespace klink
