// Windows durable writes: a write-through file flushed with
// FlushFileBuffers, then MoveFileExW with replace and write-through.
#include <algorithm>

#include "platform/DurableFile.h"
#include "platform/Win32Support.h"

namespace klink::platform {

using win32::ThrowLastError;
using win32::UniqueHandle;

void WriteFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!file.Valid()) {
        ThrowLastError();
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file.Get(), bytes.data() + done, chunk, &written, nullptr)) {
            ThrowLastError();
        }
        if (written == 0) {
            win32::ThrowSystemError(ERROR_WRITE_FAULT);
        }
        done += written;
    }
    // Write-through covers the data; the flush also covers the file's size
    // and times in the folder entry.
    if (!FlushFileBuffers(file.Get())) {
        ThrowLastError();
    }
    file.Close();
}

void ReplaceFileDurably(const std::filesystem::path& from, const std::filesystem::path& to) {
    // Within one folder this is a rename: `to` is either the old or the new
    // file, never a mix, and with write-through the call returns only once
    // the rename is on disk.
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ThrowLastError();
    }
}

}  // namespace klink::platform
