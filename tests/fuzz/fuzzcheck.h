#pragma once

#include <cstdio>
#include <cstdlib>

namespace orvendal::testing {

// Ends the run at a broken property, naming it: libFuzzer then keeps the input that broke it.
inline void fuzzCheck(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz fault: %s\n", what);
        std::abort();
    }
}

} // namespace orvendal::testing
