#include "platform/SerialPortList.h"

#include <algorithm>
#include <cctype>

namespace klink::platform {
namespace {

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

char Lower(char c) noexcept { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

bool NaturalLess(std::string_view a, std::string_view b) noexcept {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            // Compare the digit runs by value: skip leading zeros, then the
            // longer run is larger, then the first differing digit decides.
            std::size_t ei = i;
            std::size_t ej = j;
            while (ei < a.size() && IsDigit(a[ei])) ++ei;
            while (ej < b.size() && IsDigit(b[ej])) ++ej;
            std::size_t si = i;
            std::size_t sj = j;
            while (si + 1 < ei && a[si] == '0') ++si;
            while (sj + 1 < ej && b[sj] == '0') ++sj;
            const std::string_view ra = a.substr(si, ei - si);
            const std::string_view rb = b.substr(sj, ej - sj);
            if (ra.size() != rb.size()) {
                return ra.size() < rb.size();
            }
            if (ra != rb) {
                return ra < rb;
            }
            // Equal values: fewer leading zeros first, so the order is total.
            if (ei - i != ej - j) {
                return ei - i < ej - j;
            }
            i = ei;
            j = ej;
            continue;
        }
        const char ca = Lower(a[i]);
        const char cb = Lower(b[j]);
        if (ca != cb) {
            return ca < cb;
        }
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j) {
        return a.size() - i < b.size() - j;
    }
    // Same ignoring case: fall back to the exact bytes for a strict order.
    return a < b;
}

void SortSerialPorts(std::vector<SerialPortEntry>& ports) {
    std::stable_sort(ports.begin(), ports.end(), [](const SerialPortEntry& x, const SerialPortEntry& y) {
        return NaturalLess(x.name, y.name);
    });
}

}  // namespace klink::platform
