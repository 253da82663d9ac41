// The Prometheus textfile as node_exporter serves it, written in time and never through a link.
#include "drivenwatch.h"
#include "stationfiles.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>

using namespace orvendal;
using namespace orvendal::testing;
using namespace std::chrono_literals;
using station::EventKind;
namespace fs = std::filesystem;

namespace {

std::string contents(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// A free TCP port on the loopback, as the kernel hands one out.
int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(s);
    return ntohs(address.sin_port);
}

// GET `path` from 127.0.0.1:`port` over HTTP/1.0; empty when nothing answers.
std::string httpGet(int port, const std::string& path) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{5, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string reply;
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buffer[8192];
            ssize_t n = 0;
            while ((n = ::recv(s, buffer, sizeof buffer, 0)) > 0) {
                reply.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(s);
    return reply;
}

// Debian's node_exporter with only its textfile collector, on a private loopback port.
class NodeExporter {
public:
    explicit NodeExporter(const std::string& folder) : port_(freePort()) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close_range(3, ~0U, 0);
            const std::string dir = "--collector.textfile.directory=" + folder;
            const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port_);
            ::execl(NODE_EXPORTER, NODE_EXPORTER, "--collector.disable-defaults",
                    "--collector.textfile", dir.c_str(), listen.c_str(), "--log.level=error",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~NodeExporter() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    // The metrics page once it answers, asked up to 100 times.
    std::string metrics() const {
        for (int i = 0; i < 100; ++i) {
            if (std::string page = httpGet(port_, "/metrics"); !page.empty()) {
                return page;
            }
            std::this_thread::sleep_for(100ms);
        }
        return {};
    }

private:
    int port_;
    pid_t pid_ = -1;
};

void expectLines(const std::string& page, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        EXPECT_NE(page.find("\n" + line + "\n"), std::string::npos) << line << "\n" << page;
    }
}

TEST(Textfile, NodeExporterServesItAndItIsWrittenBeforeTheEventsAreTold) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    const auto textfiles = dir.path() / "textfile";
    fs::create_directory(textfiles);
    const std::string prom = (textfiles / "orvendal.prom").string();
    writeStationFile(path, 3, 0);
    LockHolder row2(path, rows({2}));
    DrivenClock clock;
    Recorded seen;
    watch::Options options = watchOptions(path);
    options.textfile = prom;
    watch::Sinks sinks = seen.sinks();
    const std::string file = "{file=\"" + path + '"';
    // Whoever reads an event finds the metrics up to date.
    std::vector<std::string> textfileAtEvents;
    sinks.events = [&, told = sinks.events](const std::vector<station::Event>& events) {
        textfileAtEvents.push_back(contents(prom));
        told(events);
    };
    watch::Watcher watcher(options, std::move(sinks), clock, clock);
    NodeExporter exporter(textfiles.string());
    clock.then([&] {
        expectLines(exporter.metrics(),
                    {"orvendal_up" + file + "} 1", "orvendal_stations" + file + "} 3",
                     "orvendal_stations_connected" + file + "} 1",
                     "orvendal_station_connected" + file + ",rec=\"2\"} 1",
                     "orvendal_station_connected" + file + ",rec=\"1\"} 0",
                     "orvendal_station_connects_total" + file + ",rec=\"2\"} 1",
                     "# TYPE orvendal_station_connects_total counter",
                     "node_textfile_scrape_error 0"});
        EXPECT_NE(exporter.metrics().find("\norvendal_last_refresh_timestamp_seconds" + file),
                  std::string::npos);
        fs::rename(path, dir.file("away"));
    });
    // An outage shows as orvendal_up 0 at once.
    clock.then([&] { expectLines(exporter.metrics(), {"orvendal_up" + file + "} 0"}); });
    EXPECT_EQ(watcher.run(), 0);
    ASSERT_EQ(textfileAtEvents.size(), 3u) << "connected, outage, and the stop";
    EXPECT_NE(textfileAtEvents[0].find("orvendal_stations_connected" + file + "} 1"),
              std::string::npos);
    EXPECT_NE(textfileAtEvents[1].find("orvendal_up" + file + "} 0"), std::string::npos);
}

// Two watchers share one node_exporter: every series names its station file, so neither set
// hides the other, also for a name that must be escaped (quote, backslash, line feed, a byte
// that is no UTF-8). A stopped watcher leaves a textfile that says it is down.
TEST(Textfile, TwoWatchersShareNodeExporterAndAStoppedOneSaysSo) {
    TempDir dir;
    const auto textfiles = dir.path() / "textfile";
    fs::create_directory(textfiles);
    const std::string plain = dir.file("MARLOVEN.SIT");
    const std::string odd = dir.file("a\"b\\c\nd\xff.SIT");
    writeStationFile(plain, 3, 0);
    writeStationFile(odd, 2, 0);
    LockHolder plainRow(plain, rows({2}));
    LockHolder oddRow(odd, rows({1}));
    const std::string oddProm = (textfiles / "odd.prom").string();
    watch::Options plainOptions = watchOptions(plain);
    plainOptions.textfile = (textfiles / "plain.prom").string();
    watch::Options oddOptions = watchOptions(odd);
    oddOptions.textfile = oddProm;
    DrivenClock plainClock;
    DrivenClock oddClock;
    Recorded plainSeen;
    Recorded oddSeen;
    watch::Watcher first(plainOptions, plainSeen.sinks(), plainClock, plainClock);
    watch::Watcher second(oddOptions, oddSeen.sinks(), oddClock, oddClock);
    NodeExporter exporter(textfiles.string());
    const std::string plainFile = "{file=\"" + plain + '"';
    const std::string oddFile = "{file=\"" + dir.file("a\\\"b\\\\c\\nd\xef\xbf\xbd.SIT") + '"';
    const std::string version = ",version=\"" ORVENDAL_VERSION "\"} 1";
    // The second runs within a pause of the first: both are running meanwhile.
    plainClock.then([&] {
        oddClock.then([&] {
            expectLines(exporter.metrics(),
                        {"orvendal_up" + plainFile + "} 1", "orvendal_running" + plainFile + "} 1",
                         "orvendal_build_info" + plainFile + version,
                         "orvendal_stations" + plainFile + "} 3",
                         "orvendal_station_connected" + plainFile + ",rec=\"2\"} 1",
                         "orvendal_up" + oddFile + "} 1", "orvendal_running" + oddFile + "} 1",
                         "orvendal_build_info" + oddFile + version,
                         "orvendal_stations" + oddFile + "} 2",
                         "orvendal_station_connected" + oddFile + ",rec=\"1\"} 1",
                         "node_textfile_scrape_error 0"});
        });
        EXPECT_EQ(second.run(), 0);
        expectLines(contents(oddProm),
                    {"orvendal_up" + oddFile + "} 0", "orvendal_running" + oddFile + "} 0"});
        expectLines(exporter.metrics(),
                    {"orvendal_up" + oddFile + "} 0", "orvendal_up" + plainFile + "} 1",
                     "node_textfile_scrape_error 0"});
    });
    EXPECT_EQ(first.run(), 0);
}

TEST(Textfile, IsNeverWrittenThroughALink) {
    TempDir dir;
    const std::string station = dir.file("MARLOVEN.SIT");
    const std::string prom = dir.file("orvendal.prom");
    const std::string victim = dir.file("victim");
    const std::vector<unsigned char> kept = {'k', 'e', 'e', 'p', '\n'};
    writeStationFile(station, 2, 0);
    writeBytes(victim, kept);
    // Where the temporary used to be, at a name anyone could tell in advance.
    fs::create_symlink(victim, dir.file(".orvendal.prom.tmp"));
    DrivenClock clock;
    Recorded seen;
    watch::Options options = watchOptions(station);
    options.textfile = prom;
    watch::Watcher watcher(options, seen.sinks(), clock, clock);
    clock.then([&] {
        ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(prom)));
        // A link put in the textfile's place while it runs: the next write, before the outage
        // is told, refuses it.
        fs::remove(prom);
        fs::create_symlink(victim, prom);
        fs::rename(station, dir.file("away"));
    });
    clock.then([&] {
        EXPECT_EQ(kinds(seen.take()), std::vector{EventKind::Outage});
        EXPECT_EQ(seen.reported("no se puede escribir el fichero de métricas: 40-es un enlace"), 1u)
            << ::testing::PrintToString(seen.reports());
    });
    EXPECT_EQ(watcher.run(), 0);
    EXPECT_EQ(readBytes(victim), kept);
    EXPECT_TRUE(fs::is_symlink(prom));
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_FALSE(name.ends_with(".tmp") && name != ".orvendal.prom.tmp") << "left: " << name;
    }
}

// One record written far into a sparse station file makes it a million stations of nothing: only
// the first ones listed get series of their own, the totals count them all, and the rest are
// counted as left out.
TEST(Textfile, ASparseStationFileGetsSeriesForItsFirstStationsOnly) {
    struct Case {
        std::string name;
        std::optional<std::uint64_t> listed; // none: the default
        std::size_t series;                  // of orvendal_station_connected
    };
    const Case cases[] = {{"default", std::nullopt, 10'000}, {"100", 100, 100}, {"none", 0, 0}};
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 1, 0);
    {
        const std::string record = contents(path).substr(81, 81);
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(81'000'000);
        file.write(record.data(), static_cast<std::streamsize>(record.size()));
    }
    constexpr std::uint64_t kStations = 1'000'000;
    const std::string file = "{file=\"" + path + '"';
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string prom = dir.file(c.name + ".prom");
        watch::Options options = watchOptions(path);
        options.textfile = prom;
        if (c.listed) {
            options.textfileStations = *c.listed;
        }
        DrivenClock clock;
        Recorded seen;
        watch::Watcher watcher(options, seen.sinks(), clock, clock);
        clock.then([] {});
        EXPECT_EQ(watcher.run(), 0);
        const std::string text = contents(prom);
        std::size_t series = 0;
        for (std::size_t at = 0;
             (at = text.find("\norvendal_station_connected{", at)) != std::string::npos; ++at) {
            ++series;
        }
        EXPECT_EQ(series, c.series);
        expectLines(
            text.substr(0, 4000),
            {"orvendal_stations" + file + "} " + std::to_string(kStations),
             "orvendal_stations_omitted" + file + "} " + std::to_string(kStations - c.series)});
        EXPECT_LT(text.size(), 2 * 100 * (c.series + 100)) << "about 100 bytes a series";
    }
}

} // namespace
