#include "atomicfile.h"

#include "error.h"
#include "plainfile.h"
#include "win32error.h"
#include "win32text.h"

#include <algorithm>
#include <utility>

namespace orvendal::files {
namespace {

// Closes the handle however the write ends.
struct Handle {
    HANDLE value;
    ~Handle() {
        if (value != INVALID_HANDLE_VALUE) {
            ::CloseHandle(value);
        }
    }
};

void writeAll(HANDLE handle, std::string_view text, const std::string& temporary) {
    while (!text.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(handle, text.data(), chunk, &written, nullptr)) {
            throw lastWindowsError(temporary);
        }
        text.remove_prefix(written);
    }
    if (!::FlushFileBuffers(handle)) {
        throw lastWindowsError(temporary);
    }
}

} // namespace

void writeFileAtomically(const std::string& path, std::string_view text) {
    requirePlainFileOrNothing(path, Owner::Us);
    std::string temporary;
    Handle file{INVALID_HANDLE_VALUE};
    for (int attempt = 0; file.value == INVALID_HANDLE_VALUE && attempt < 3; ++attempt) {
        temporary = temporaryBeside(path, "\\/");
        // CREATE_NEW fails on any entry of that name, a link included.
        file.value = ::CreateFileW(files::wide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file.value == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    if (file.value == INVALID_HANDLE_VALUE) {
        throw lastWindowsError("no se puede crear " + temporary);
    }
    try {
        writeAll(file.value, text, temporary);
        ::CloseHandle(std::exchange(file.value, INVALID_HANDLE_VALUE));
        // MoveFileEx replaces a link at `path` itself, never the file it points to.
        if (!::MoveFileExW(files::wide(temporary).c_str(), files::wide(path).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            throw lastWindowsError("no se puede renombrar " + temporary + " a " + path);
        }
    } catch (...) {
        if (file.value != INVALID_HANDLE_VALUE) {
            ::CloseHandle(std::exchange(file.value, INVALID_HANDLE_VALUE));
        }
        ::DeleteFileW(files::wide(temporary).c_str());
        throw;
    }
}

} // namespace orvendal::files
