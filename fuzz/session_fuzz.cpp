// The session file's content as the window reads it at start. A damaged file
// must be refused with a ReadError; a file that loads must save to a text
// that loads back to the same state.

#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "common/Errors.h"
#include "ui/KLINKSession.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    klink::KLINKSessionState state;
    try {
        state = klink::ParseSessionText(text);
    } catch (const klink::ReadError&) {
        return 0;
    }
    FUZZ_CHECK(state.repeatIndex >= 0 && state.repeatIndex <= 5);
    FUZZ_CHECK(state.fadeIndex >= 0 && state.fadeIndex <= 5);
    FUZZ_CHECK(state.hasWindowBounds == (state.width > 0 && state.height > 0));
    for (const klink::KLINKSessionTrack& track : state.playlist) FUZZ_CHECK(!track.path.empty());

    const std::string saved = klink::SessionJSONText(state);
    for (const char c : saved) FUZZ_CHECK(static_cast<unsigned char>(c) < 0x80);
    // The placement is saved only with valid bounds; the rest comes back whole.
    klink::KLINKSessionState expected = state;
    if (!expected.hasWindowBounds) {
        expected.left = expected.top = expected.width = expected.height = 0;
        expected.maximized = false;
    }
    FUZZ_CHECK(klink::ParseSessionText(saved) == expected);
    return 0;
}
