// The program started as from the desktop's menu: an ordinary user, no station file given, and
// the file beside the program in a folder that user may not write.
#include "stationfiles.h"
#include "tempdir.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <pwd.h>

namespace orvendal {
namespace {

using testing::Child;
using testing::Clock;
using testing::TempDir;
using testing::XServer;

namespace fs = std::filesystem;

// The program installed in a folder of root's, run as "nobody" with its own settings folder.
class MenuLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "running the program as another user needs root";
        }
        const passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        uid_ = nobody->pw_uid;
        gid_ = nobody->pw_gid;
        fs::permissions(installed_.path(), fs::perms::owner_all | fs::perms::group_read |
                                               fs::perms::group_exec | fs::perms::others_read |
                                               fs::perms::others_exec);
        fs::copy_file(ORVENDAL_PROGRAM, installed_.path() / "orvendal");
        fs::permissions(data_.path(), fs::perms::all);
        ASSERT_EQ(::chown(home_.path().c_str(), uid_, gid_), 0);
        ::setenv("HOME", home_.path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config().c_str(), 1);
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    std::string config() const { return home_.file("config"); }
    std::string settingsFile() const { return config() + "/orvendal/orvendal.conf"; }
    // A station file that every user may read, with `tally` in its header.
    std::string stationFile(std::uint8_t tally) const {
        const std::string path = data_.file("MARLOVEN.SIT");
        testing::writeStationFile(path, 3, tally);
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::others_read);
        return path;
    }
    Child start(const XServer& x) const {
        return Child({"setpriv", "--reuid=" + std::to_string(uid_),
                      "--regid=" + std::to_string(gid_), "--clear-groups",
                      (installed_.path() / "orvendal").string()},
                     x.name(), home_.path().string());
    }
    std::string xdotool(const XServer& x, const std::string& args) const {
        const std::string out = testing::run("DISPLAY=" + x.name() + " timeout 10 xdotool " + args);
        return out.substr(0, out.find('\n'));
    }
    // Waits up to 10 s for a visible window of `pid` titled `title`.
    std::string windowTitled(const XServer& x, pid_t pid, const std::string& title) const {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        std::string window;
        while (window.empty() && Clock::now() < deadline) {
            window = xdotool(x, "search --onlyvisible --pid " + std::to_string(pid) + " --name '^" +
                                    title + "$'");
            if (window.empty()) {
                ::usleep(50000);
            }
        }
        return window;
    }

    uid_t uid_ = 0;
    gid_t gid_ = 0;
    TempDir installed_;
    TempDir data_;
    TempDir home_;
};

TEST_F(MenuLaunch, WatchesTheFileItsSettingsName) {
    const std::string station = stationFile(7);
    fs::create_directories(fs::path(settingsFile()).parent_path());
    std::ofstream(settingsFile()) << "# puesto de Ana\nstation-file=" << station << "\n";
    XServer x;
    Child monitor = start(x);
    EXPECT_NE(windowTitled(x, monitor.pid(), "Conexiones activas: 7"), "")
        << "the window never watched the configured file";
    EXPECT_FALSE(fs::exists(installed_.path() / "MARLOVEN.SIT"));
}

TEST_F(MenuLaunch, AsksForTheFileWhenNoneIsSetAndRemembersIt) {
    const std::string station = stationFile(4);
    XServer x;
    Child monitor = start(x);
    const std::string chooser = windowTitled(x, monitor.pid(), "Orvendal");
    ASSERT_NE(chooser, "") << "no chooser came up";
    xdotool(x, "windowactivate --sync " + chooser);
    xdotool(x, "type --delay 5 '" + station + "'");
    xdotool(x, "key Return");
    EXPECT_NE(windowTitled(x, monitor.pid(), "Conexiones activas: 4"), "")
        << "the window never watched the chosen file";

    std::ifstream in(settingsFile());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "station-file=" + station + "\n");
    struct stat st {};
    ASSERT_EQ(::stat((config() + "/orvendal").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, uid_);
}

} // namespace
} // namespace orvendal
