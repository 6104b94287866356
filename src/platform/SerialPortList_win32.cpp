// Windows port list: the COMn names among the DOS device names, with the
// friendly names that Device Manager shows where the system has them.
#include <map>
#include <set>
#include <string>

#include "platform/SerialPortList.h"
// The device-setup header needs windows.h before it.
// clang-format off
#include "platform/Win32Support.h"
#include <setupapi.h>
// clang-format on

namespace klink::platform {
namespace {

// The "Ports (COM & LPT)" device class.
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

constexpr DWORD kFirstBufferChars = 32768;
constexpr DWORD kLastBufferChars = 262144;

// Every DOS device name, NUL-separated.
std::wstring DosDeviceNames() {
    std::wstring names(kFirstBufferChars, L'\0');
    for (;;) {
        const DWORD length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0) {
            names.resize(length);
            return names;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_INSUFFICIENT_BUFFER || names.size() >= kLastBufferChars) {
            win32::ThrowSystemError(code);
        }
        names.resize(names.size() * 2);
    }
}

// The port number of "COMn" (any case, n > 0), else 0.
unsigned ComNumber(std::wstring_view name) {
    if (name.size() < 4 || (name[0] | 0x20) != L'c' || (name[1] | 0x20) != L'o' || (name[2] | 0x20) != L'm') {
        return 0;
    }
    unsigned number = 0;
    for (wchar_t c : name.substr(3)) {
        if (c < L'0' || c > L'9' || number > 100000) {
            return 0;
        }
        number = number * 10 + static_cast<unsigned>(c - L'0');
    }
    return number;
}

std::wstring RegistryString(HKEY key, const wchar_t* value) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, value, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ) {
        return {};
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
        ERROR_SUCCESS) {
        return {};
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

// Friendly names by port number, from the devices of the ports class. Best
// effort: ports without a device entry (virtual ports, Wine) have none.
std::map<unsigned, std::string> FriendlyNames() {
    std::map<unsigned, std::string> names;
    HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return names;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        const unsigned number = ComNumber(RegistryString(key, L"PortName"));
        RegCloseKey(key);
        if (number == 0) {
            continue;
        }
        wchar_t friendly[256] = {};
        DWORD type = 0;
        if (SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, &type,
                                              reinterpret_cast<BYTE*>(friendly),
                                              sizeof friendly - sizeof(wchar_t), nullptr) &&
            type == REG_SZ) {
            names[number] = win32::Narrow(friendly);
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return names;
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts() {
    const std::wstring all = DosDeviceNames();
    std::set<unsigned> numbers;  // one entry per port, however often it is listed
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = all.find(L'\0', at);
        const std::wstring_view name(all.data() + at, (end == std::wstring::npos ? all.size() : end) - at);
        if (const unsigned number = ComNumber(name); number > 0) {
            numbers.insert(number);
        }
        at = end == std::wstring::npos ? all.size() : end + 1;
    }
    const std::map<unsigned, std::string> friendly =
        numbers.empty() ? std::map<unsigned, std::string>{} : FriendlyNames();
    std::vector<SerialPortEntry> ports;
    for (const unsigned number : numbers) {
        const std::string name = "COM" + std::to_string(number);
        const auto it = friendly.find(number);
        ports.emplace_back(name, SerialPortPath(name), false, it == friendly.end() ? "" : it->second);
    }
    SortSerialPorts(ports);
    return ports;
}

std::string SerialPortPath(std::string_view name) {
    if (name.find_first_of("\\/") != std::string_view::npos) {
        return std::string(name);
    }
    // The device namespace: COM10 and above open only this way.
    return "\\\\.\\" + std::string(name);
}

}  // namespace klink::platform
