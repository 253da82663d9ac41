#include "fileidentity.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

namespace orvendal::files {

std::optional<FileIdentity> identityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino)};
}

std::string withResolvedFolder(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string folder = folderOf(path);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(folder.c_str(), nullptr),
                                                               &std::free);
    if (!resolved) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(path, error);
        return error ? path : absolute.lexically_normal().string();
    }
    const std::string base = resolved.get();
    return base == "/" ? "/" + name : base + "/" + name;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sameEntry(const std::string& a, const std::string& b) {
    return withResolvedFolder(a) == withResolvedFolder(b);
}

} // namespace orvendal::files
