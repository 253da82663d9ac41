#pragma once

#include <stdexcept>

namespace orvendal {

// A request the user got wrong (a command line, an option's value, outputs that would clash):
// reported with a hint to the command's --help, exit status 2. Where it is found does not
// matter: the watcher's checks of its options raise it as the parsing does.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace orvendal
