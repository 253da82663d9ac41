#pragma once

#include <cstdio>
#include <cstdlib>

namespace orvendal::testing {

// A broken property: told on standard error, then an abort, which libFuzzer keeps as a crash.
inline void fuzzCheck(bool condition, const char* target, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s fault: %s\n", target, what);
        std::abort();
    }
}

} // namespace orvendal::testing
