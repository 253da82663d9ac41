#include "fileidentity.h"

#include "win32error.h"
#include "win32text.h"

namespace orvendal::files {
namespace {

// A handle for asking about the file or folder `path` reaches; FILE_FLAG_BACKUP_SEMANTICS lets
// it be a folder.
HANDLE openForQuery(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::wstring fullPath(const std::wstring& path) {
    std::wstring full(path.size() + MAX_PATH, L'\0');
    const DWORD n =
        ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size()) {
        return path;
    }
    full.resize(n);
    return full;
}

// GetFinalPathNameByHandle answers with the \\?\ prefix, which people never write and every
// message would show. A path shorter than MAX_PATH opens without it; a longer one keeps it.
std::wstring withoutPrefix(const std::wstring& path) {
    if (path.starts_with(LR"(\\?\UNC\)") && path.size() - 6 < MAX_PATH) {
        return LR"(\\)" + path.substr(8);
    }
    if (path.starts_with(LR"(\\?\)") && path.size() - 4 < MAX_PATH) {
        return path.substr(4);
    }
    return path;
}

} // namespace

std::optional<FileIdentity> identityOf(const std::string& path) {
    const HANDLE handle = openForQuery(files::wide(path));
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    ::CloseHandle(handle);
    if (!known) {
        return std::nullopt;
    }
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
                            info.nFileIndexLow};
}

std::string withResolvedFolder(const std::string& path) {
    const std::wstring given = files::wide(path);
    const auto slash = given.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : given.substr(0, slash + 1);
    const std::wstring name = slash == std::wstring::npos ? given : given.substr(slash + 1);
    const HANDLE handle = openForQuery(folder);
    if (handle == INVALID_HANDLE_VALUE) {
        return files::narrow(fullPath(given));
    }
    std::wstring resolved(MAX_PATH, L'\0');
    DWORD n = ::GetFinalPathNameByHandleW(
        handle, resolved.data(), static_cast<DWORD>(resolved.size()), FILE_NAME_NORMALIZED);
    if (n >= resolved.size()) {
        resolved.resize(n + 1);
        n = ::GetFinalPathNameByHandleW(handle, resolved.data(),
                                        static_cast<DWORD>(resolved.size()), FILE_NAME_NORMALIZED);
    }
    ::CloseHandle(handle);
    if (n == 0 || n >= resolved.size()) {
        return files::narrow(fullPath(given));
    }
    resolved.resize(n);
    if (!resolved.ends_with(L'\\')) {
        resolved += L'\\';
    }
    resolved += name;
    return files::narrow(withoutPrefix(resolved));
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    if (slash == std::string::npos) {
        // "C:name" is a name in drive C:'s current folder.
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    }
    // The root keeps its separator: "C:" alone would be that drive's current folder.
    const bool root = slash == 0 || (slash == 2 && path[1] == ':');
    return path.substr(0, root ? slash + 1 : slash);
}

bool isFolder(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(files::wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool sameEntry(const std::string& a, const std::string& b) {
    const std::wstring first = files::wide(withResolvedFolder(a));
    const std::wstring second = files::wide(withResolvedFolder(b));
    // NTFS names match without regard to case, as the system's own upper-case table has it.
    return ::CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                  static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

} // namespace orvendal::files
