// Windows user folders: %LOCALAPPDATA%, else the user's profile folder.
#include "platform/UserFolders.h"
// The shell header needs windows.h before it.
// clang-format off
#include "platform/Win32Support.h"
#include <shlobj.h>
// clang-format on

namespace klink::platform {
namespace {

std::wstring EnvironmentVariable(const wchar_t* name) {
    std::wstring value(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            return {};  // missing (or empty)
        }
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        // Too small: `length` is the size needed, terminator included.
        value.resize(length);
    }
}

std::filesystem::path ProfileFolder() {
    wchar_t* folder = nullptr;
    std::filesystem::path result;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Profile, KF_FLAG_DEFAULT, nullptr, &folder)) &&
        folder != nullptr) {
        result = folder;
    }
    CoTaskMemFree(folder);
    if (result.empty()) {
        const std::wstring profile = EnvironmentVariable(L"USERPROFILE");
        result = profile.empty() ? std::filesystem::path(L".") : std::filesystem::path(profile);
    }
    return result;
}

}  // namespace

std::filesystem::path LocalAppDataFolder() {
    const std::wstring local = EnvironmentVariable(L"LOCALAPPDATA");
    if (!local.empty()) {
        return local;
    }
    // A stripped environment (a service, a scheduled task): the home folder.
    return ProfileFolder();
}

}  // namespace klink::platform
