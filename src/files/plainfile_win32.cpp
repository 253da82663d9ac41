#include "plainfile.h"

#include "error.h"
#include "win32error.h"
#include "win32text.h"

namespace orvendal::files {

// The owner is not compared here: a Windows file made by an administrator's process belongs to
// the Administrators group, not to the user, and who may write it is the folder's ACL's say.
void requirePlainFileOrNothing(const std::string& path, Owner) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link or junction itself, never what it points to.
    const HANDLE handle = ::CreateFileW(
        files::wide(path).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            return;
        }
        throw lastWindowsError(path);
    }
    const DWORD type = ::GetFileType(handle);
    BY_HANDLE_FILE_INFORMATION info{};
    if (type == FILE_TYPE_DISK && !::GetFileInformationByHandle(handle, &info)) {
        const Error failure = lastWindowsError(path);
        ::CloseHandle(handle);
        throw failure;
    }
    ::CloseHandle(handle);
    if (type != FILE_TYPE_DISK) {
        throw Error(errc::NotRegularFile, "es un dispositivo, no un fichero normal: " + path);
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        throw Error(win32Code(ERROR_CANT_RESOLVE_FILENAME),
                    "es un enlace (punto de reanálisis), que no se sigue: " + path);
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw Error(errc::NotRegularFile, "es una carpeta, no un fichero normal: " + path);
    }
}

} // namespace orvendal::files
