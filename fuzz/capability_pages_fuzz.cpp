// A board's capability pages fed in sequence, as the link reads them. Each
// page in the input is a length byte, a mode byte and the page bytes; mode
// 0xFF takes the requested offset from the next two bytes (a host asking for
// the wrong page), any other mode asks for the offset the table expects.
// The table must either take a page or refuse it with a ReadError, and stay
// consistent: only a complete table answers lookups.

#include <string>

#include "FuzzSupport.h"
#include "common/Errors.h"
#include "protocol/KLINKCapabilities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    klink::fuzz::InputReader in(data, size);
    klink::KLINKCapabilities table;
    bool refused = false;
    while (!in.Empty() && !table.Complete()) {
        const uint8_t length = in.Byte();
        const uint8_t mode = in.Byte();
        const uint16_t offset = mode == 0xFF ? in.LE16() : table.NextOffset();
        const std::span<const uint8_t> page = in.Take(length);
        const size_t entriesBefore = table.Entries().size();
        try {
            table.AddPage(offset, page);
            FUZZ_CHECK(table.Entries().size() >= entriesBefore);
        } catch (const klink::ReadError&) {
            refused = true;
            break;
        }
    }
    FUZZ_CHECK(!(refused && table.Complete()));
    FUZZ_CHECK(table.Entries().size() <= 0xFFFFu * klink::kMaxCapabilityEntries);
    const std::string text = table.Describe();
    FUZZ_CHECK(table.Complete() || text.empty());
    for (const klink::KLINKCapability& entry : table.Entries()) {
        const auto found = table.Find(entry.writeId, entry.instance, entry.page);
        FUZZ_CHECK(found.has_value() == table.Complete());
        if (found) {
            FUZZ_CHECK(table.Supports(entry.writeId, entry.instance, entry.page, found->features));
        }
        (void)klink::ClocksMatch(entry.writeId, entry.fixedClockHz, 3579545);
    }
    // A table is reusable after Clear.
    table.Clear();
    FUZZ_CHECK(!table.Complete() && table.Entries().empty() && table.NextOffset() == 0);
    return 0;
}
