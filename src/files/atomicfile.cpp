#include "atomicfile.h"

#include <cstdio>
#include <random>

namespace orvendal::files {

std::string temporaryBeside(const std::string& path, std::string_view separators) {
    const auto separator = path.find_last_of(separators);
    const std::size_t nameAt = separator == std::string::npos ? 0 : separator + 1;
    std::random_device source;
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x", source(), source());
    std::string temporary = path.substr(0, nameAt);
    temporary += '.';
    temporary += path.substr(nameAt);
    temporary += suffix;
    temporary += ".tmp";
    return temporary;
}

} // namespace orvendal::files
