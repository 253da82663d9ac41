#pragma once

#include <clocale>

namespace orvendal::testing {

// Whether es_ES.UTF-8 is installed, for the tests of the OS's texts in the user's language.
inline bool spanishLocaleInstalled() {
    locale_t spanish = ::newlocale(LC_ALL_MASK, "es_ES.UTF-8", nullptr);
    if (spanish == nullptr)
        return false;
    ::freelocale(spanish);
    return true;
}

inline constexpr const char* kNoSpanishLocale =
    "the locale es_ES.UTF-8 is not installed (scripts/install-deps.sh makes it)";

} // namespace orvendal::testing
