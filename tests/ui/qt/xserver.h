#pragma once

// Xvfb with openbox, and the programs run on it, for the tests of what only a real X server shows.
// Free of Xlib's headers, whose macros (None, Bool...) clash with Qt's.

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

typedef struct _XDisplay Display;

namespace orvendal::testing {

using Clock = std::chrono::steady_clock;

// A child process, ended and reaped with its owner.
class Child {
public:
    // `keepFd` stays open in the child (the pipe Xvfb writes its display number to).
    Child(std::vector<std::string> argv, const std::string& display, const std::string& folder = {},
          int keepFd = -1);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();
    pid_t pid() const { return pid_; }

    // Whether the child has ended within `limit`; an ended child is reaped.
    bool endsWithin(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
};

// Xvfb on a display number it picks itself, 1280 × 800, with openbox managing it.
class XServer {
public:
    XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    ~XServer();

    Display* display() const { return display_; }
    const std::string& name() const { return name_; }

    // The first 32-bit value of a window's property of type `type` (an Atom).
    std::optional<unsigned long> property(unsigned long window, const char* name,
                                          unsigned long type) const;

private:
    std::optional<Child> xvfb_;
    std::optional<Child> openbox_;
    Display* display_ = nullptr;
    std::string name_;
};

// What `command` writes to its standard output.
std::string run(const std::string& command);

} // namespace orvendal::testing
