#include "fileidentity.h"

namespace orvendal::files {

bool sameFile(const std::string& a, const std::string& b) {
    const auto first = identityOf(a);
    const auto second = identityOf(b);
    if (first && second) {
        return *first == *second;
    }
    return sameEntry(a, b);
}

} // namespace orvendal::files
