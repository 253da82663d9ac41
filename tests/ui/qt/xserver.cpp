#include "xserver.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <stdexcept>

namespace orvendal::testing {

Child::Child(std::vector<std::string> argv, const std::string& display, const std::string& folder,
             int keepFd) {
    pid_ = ::fork();
    if (pid_ == 0) {
        if (!display.empty()) {
            ::setenv("DISPLAY", display.c_str(), 1);
        }
        if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
            ::_exit(126);
        }
        for (int fd = 3; fd < 256; ++fd) {
            if (fd != keepFd) {
                ::close(fd);
            }
        }
        std::vector<char*> args;
        for (auto& arg : argv) {
            args.push_back(arg.data());
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
    }
}

bool Child::endsWithin(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int status;
    while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            return false;
        }
        ::usleep(10000);
    }
    pid_ = -1;
    return true;
}

XServer::XServer() {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    xvfb_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(pipeFds[1]),
                                           "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
                  "", "", pipeFds[1]);
    ::close(pipeFds[1]);
    std::string number;
    char c;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    ::close(pipeFds[0]);
    if (number.empty()) {
        throw std::runtime_error("Xvfb did not start");
    }
    name_ = ":" + number;
    display_ = XOpenDisplay(name_.c_str());
    if (!display_) {
        throw std::runtime_error("cannot open " + name_);
    }
    // Windows of other clients come and go while we watch them.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    openbox_.emplace(std::vector<std::string>{"openbox"}, name_);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!property(DefaultRootWindow(display_), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW)) {
        if (Clock::now() > deadline) {
            throw std::runtime_error("openbox did not start");
        }
        ::usleep(20000);
    }
}

XServer::~XServer() {
    openbox_.reset();
    XCloseDisplay(display_);
    xvfb_.reset();
}

std::optional<unsigned long> XServer::property(unsigned long window, const char* name,
                                               unsigned long type) const {
    Atom actual;
    int format;
    unsigned long items;
    unsigned long after;
    unsigned char* data = nullptr;
    std::optional<unsigned long> value;
    if (XGetWindowProperty(display_, window, XInternAtom(display_, name, False), 0, 1, False, type,
                           &actual, &format, &items, &after, &data) == Success &&
        data && items == 1 && format == 32) {
        value = *reinterpret_cast<unsigned long*>(data);
    }
    if (data) {
        XFree(data);
    }
    return value;
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            out += buffer;
        }
        ::pclose(pipe);
    }
    return out;
}

} // namespace orvendal::testing
