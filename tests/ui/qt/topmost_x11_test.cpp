// The program on a real X server with a window manager: what offscreen Qt cannot show.
#include "smbstation.h"
#include "smbtestserver.h"
#include "stationfiles.h"
#include "tempdir.h"
#include "xserver.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib defines macros such as None that its headers use as names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace orvendal {
namespace {

using testing::Child;
using testing::Clock;
using testing::run;
using testing::XServer;

// Waits for the next event of `display` until `deadline`.
std::optional<XEvent> nextEvent(Display* display, Clock::time_point deadline) {
    while (!XPending(display)) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return std::nullopt;
        }
        const int fd = ConnectionNumber(display);
        fd_set read;
        FD_ZERO(&read);
        FD_SET(fd, &read);
        timeval wait{
            0, static_cast<suseconds_t>(std::min<long long>(
                   std::chrono::duration_cast<std::chrono::microseconds>(left).count(), 100000))};
        ::select(fd + 1, &read, nullptr, nullptr, &wait);
    }
    XEvent event;
    XNextEvent(display, &event);
    return event;
}

TEST(TopmostX11, MappedWindowIsAboveAndTitledByTheFirstRefresh) {
    XServer x;
    Display* display = x.display();
    testing::TempDir dir;
    const auto program = dir.path() / "orvendal";
    std::filesystem::copy_file(ORVENDAL_PROGRAM, program);
    testing::writeStationFile(dir.file("MARLOVEN.SIT"), 4, 9);

    // Every window created from now on is watched from its creation, so that its map and each
    // later change of its title arrive in the order the server made them.
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);
    Child monitor({program.string()}, x.name(), dir.path().string());

    const Atom wmName = XInternAtom(display, "WM_NAME", False);
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    std::optional<Window> mapped;
    int titleChangesAfterMap = 0;
    auto deadline = Clock::now() + std::chrono::seconds(15);
    while (const auto event = nextEvent(display, deadline)) {
        if (event->type == CreateNotify) {
            XSelectInput(display, event->xcreatewindow.window,
                         StructureNotifyMask | PropertyChangeMask);
        } else if (event->type == MapNotify && !mapped && event->xmap.event == event->xmap.window &&
                   x.property(event->xmap.window, "_NET_WM_PID", XA_CARDINAL) ==
                       static_cast<unsigned long>(monitor.pid())) {
            mapped = event->xmap.window;
            // Three refreshes more: a caption set after mapping would show by then.
            deadline = Clock::now() + std::chrono::milliseconds(1600);
        } else if (event->type == PropertyNotify && mapped && event->xproperty.window == *mapped &&
                   (event->xproperty.atom == wmName || event->xproperty.atom == netWmName)) {
            ++titleChangesAfterMap;
        }
    }
    ASSERT_TRUE(mapped) << "the monitor's window was never mapped";

    const std::string properties = run("DISPLAY=" + x.name() + " xprop -id " +
                                       std::to_string(*mapped) + " WM_NAME _NET_WM_STATE");
    EXPECT_NE(properties.find("_NET_WM_STATE_ABOVE"), std::string::npos) << properties;
    EXPECT_NE(properties.find("WM_NAME(STRING) = \"Conexiones activas: 9\""), std::string::npos)
        << properties;
    EXPECT_EQ(titleChangesAfterMap, 0) << "the window was mapped before its first refresh";
}

// The real program on `x`, run from a copy in a folder of its own (so MARLOVEN.SIT and out.vrl
// beside it are its own) with `cwd` as its current folder, and its mapped window.
class Monitor {
public:
    Monitor(const XServer& x, const std::string& cwd, std::uint8_t tally,
            const std::vector<std::string>& arguments = {})
        : x_(x), program_(folder_.path() / "orvendal") {
        std::filesystem::copy_file(ORVENDAL_PROGRAM, program_);
        testing::writeStationFile(folder_.file("MARLOVEN.SIT"), 2, tally);
        std::vector<std::string> argv{program_.string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        child_.emplace(argv, x.name(), cwd);
        window_ = xdotool("search --sync --onlyvisible --pid " + std::to_string(child_->pid()));
        if (window_.empty()) {
            throw std::runtime_error("the monitor's window never appeared");
        }
    }

    const testing::TempDir& folder() const { return folder_; }
    const std::string& window() const { return window_; }
    pid_t pid() const { return child_->pid(); }
    bool endsWithin(std::chrono::milliseconds limit) { return child_->endsWithin(limit); }

    std::string xdotool(const std::string& args) const {
        std::string out = run("DISPLAY=" + x_.name() + " timeout 10 xdotool " + args);
        return out.substr(0, out.find('\n'));
    }
    std::string xprop(const std::string& args) const {
        return run("DISPLAY=" + x_.name() + " xprop " + args);
    }
    std::string title() const { return xprop("-id " + window_ + " WM_NAME"); }
    // Waits up to 5 s for the window's title to become `caption`.
    bool titleBecomes(const std::string& caption) const {
        const std::string wanted = "WM_NAME(STRING) = \"" + caption + "\"\n";
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (title() != wanted && Clock::now() < deadline) {
            ::usleep(50000);
        }
        return title() == wanted;
    }

private:
    const XServer& x_;
    testing::TempDir folder_;
    std::filesystem::path program_;
    std::optional<Child> child_;
    std::string window_;
};

TEST(TopmostX11, OutVrlCountsOnlyInTheCurrentFolder) {
    XServer x;
    testing::TempDir cwd;
    Monitor monitor(x, cwd.path().string(), 5);
    testing::writeBytes(monitor.folder().file("out.vrl"), {});
    ::usleep(1200000); // two refreshes and more
    EXPECT_TRUE(monitor.titleBecomes("Conexiones activas: 5")) << monitor.title();
    testing::writeBytes(cwd.file("out.vrl"), {});
    EXPECT_TRUE(monitor.titleBecomes("Conexiones activas: 5 LOCK")) << monitor.title();
}

TEST(TopmostX11, MinimisedAndRestoredItStaysAboveAndRefreshes) {
    XServer x;
    testing::TempDir cwd;
    Monitor monitor(x, cwd.path().string(), 5);
    const std::string& window = monitor.window();
    const auto mapState = [&] {
        return run("DISPLAY=" + x.name() + " xwininfo -id " + window + " | grep 'Map State'");
    };

    const auto wmState = [&] { return monitor.xprop("-id " + window + " _NET_WM_STATE"); };
    // xdotool's --sync returns once the minimising is asked for; openbox then unmaps the window in
    // its own time, and a loaded machine showed it still mapped.
    const auto becomes = [](const auto& met) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!met() && Clock::now() < deadline) {
            ::usleep(50000);
        }
        return met();
    };

    monitor.xdotool("windowminimize --sync " + window);
    EXPECT_TRUE(becomes([&] { return mapState().find("IsUnMapped") != std::string::npos; }))
        << mapState();
    EXPECT_NE(wmState().find("_NET_WM_STATE_HIDDEN"), std::string::npos) << wmState();
    // Minimised, it goes on refreshing.
    testing::writeStationFile(monitor.folder().file("MARLOVEN.SIT"), 2, 6);
    EXPECT_TRUE(monitor.titleBecomes("Conexiones activas: 6")) << monitor.title();

    monitor.xdotool("windowactivate --sync " + window);
    EXPECT_TRUE(becomes([&] { return mapState().find("IsViewable") != std::string::npos; }))
        << mapState();
    const std::string state = wmState();
    EXPECT_NE(state.find("_NET_WM_STATE_ABOVE"), std::string::npos) << state;
    EXPECT_EQ(state.find("_NET_WM_STATE_HIDDEN"), std::string::npos) << state;
}

TEST(TopmostX11, StaysAboveAWindowActivatedAfterIt) {
    XServer x;
    testing::TempDir cwd;
    Monitor monitor(x, cwd.path().string(), 5);
    Child other({"xmessage", "-name", "orvendal-other", "-geometry", "400x300+0+0", "otra"},
                x.name());
    const std::string otherWindow = monitor.xdotool("search --sync --onlyvisible --classname "
                                                    "orvendal-other");
    ASSERT_FALSE(otherWindow.empty()) << "xmessage's window never appeared";
    monitor.xdotool("windowactivate --sync " + otherWindow);
    EXPECT_EQ(monitor.xdotool("getactivewindow"), otherWindow);

    // The stacking list runs from the bottom up, in hexadecimal.
    const std::string stacking = monitor.xprop("-root _NET_CLIENT_LIST_STACKING");
    const auto position = [&](const std::string& decimal) {
        std::ostringstream hex;
        hex << "0x" << std::hex << std::stoul(decimal);
        return stacking.find(hex.str());
    };
    ASSERT_NE(position(monitor.window()), std::string::npos) << stacking;
    ASSERT_NE(position(otherWindow), std::string::npos) << stacking;
    EXPECT_GT(position(monitor.window()), position(otherWindow)) << stacking;
}

TEST(TopmostX11, AltF4EndsTheProgramAtOnceWhileItsFileServerIsSilent) {
    if (const auto why = testing::SmbTestServer::unavailable()) {
        GTEST_SKIP() << *why;
    }
    XServer x;
    testing::TempDir cwd;
    testing::SmbTestServer server;
    testing::writeStationFile(server.localFile("MARLOVEN.SIT"), 3, 7);
    Monitor monitor(x, cwd.path().string(), 5,
                    {"--credentials", testing::writeCredentials(cwd, server, server.password()),
                     server.url("MARLOVEN.SIT")});
    ASSERT_TRUE(monitor.titleBecomes("Conexiones activas: 7")) << monitor.title();

    // Every process of the server stops answering; the next tick's refresh waits on it.
    ASSERT_EQ(::kill(-server.pid(), SIGSTOP), 0);
    ::usleep(800000);
    monitor.xdotool("windowactivate --sync " + monitor.window() + " key alt+F4");
    // A program that waited would end only when the 5 s network time-out ran out, over 4 s
    // after the key; half that leaves room for a loaded machine.
    EXPECT_TRUE(monitor.endsWithin(std::chrono::milliseconds(2500)))
        << "the program waited for the silent server";
    ::kill(-server.pid(), SIGCONT);
}

} // namespace
} // namespace orvendal
