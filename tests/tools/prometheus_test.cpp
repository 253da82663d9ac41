#include "stationctlrun.h"
#include "stationfiles.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

using namespace orvendal::testing;
using namespace std::chrono_literals;

namespace {

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
    // The metrics page once it answers, waiting up to 10 s.
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

TEST(WatchPrometheus, NodeExporterServesTheTextfile) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto textfiles = dir.path() / "textfile";
    std::filesystem::create_directory(textfiles);
    const auto prom = (textfiles / "orvendal.prom").string();
    writeStationFile(path, 3, 0);
    Stationctl holder({"connect", path, "2"});
    ASSERT_EQ(holder.readLine(), "connected 2");
    Stationctl watch({"watch", path, "--prometheus", prom, "--interval", "50"});
    ASSERT_TRUE(watch.readLineWithin(10s)) << "the connected event";
    for (int i = 0; i < 100 && !std::filesystem::exists(prom); ++i) {
        std::this_thread::sleep_for(50ms);
    }

    NodeExporter exporter(textfiles.string());
    const std::string page = exporter.metrics();
    const std::string file = "file=\"" + path + '"';
    for (const std::string& line :
         {"\norvendal_up{" + file + "} 1\n", "\norvendal_stations{" + file + "} 3\n",
          "\norvendal_stations_connected{" + file + "} 1\n",
          "\norvendal_station_connected{" + file + ",rec=\"2\"} 1\n",
          "\norvendal_station_connected{" + file + ",rec=\"1\"} 0\n",
          "\norvendal_station_connects_total{" + file + ",rec=\"2\"} 1\n",
          std::string("\n# TYPE orvendal_station_connects_total counter\n"),
          "\norvendal_last_refresh_timestamp_seconds{" + file + "} ",
          "\norvendal_refresh_duration_seconds{" + file + "} ",
          std::string("\nnode_textfile_scrape_error 0\n")}) {
        EXPECT_NE(page.find(line), std::string::npos) << line << "\n" << page;
    }

    // An outage shows as orvendal_up 0 at once.
    std::filesystem::rename(path, dir.file("away"));
    ASSERT_TRUE(watch.readLineWithin(10s)) << "the outage event";
    EXPECT_NE(exporter.metrics().find("\norvendal_up{" + file + "} 0\n"), std::string::npos);
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.finish().status, 0);
}

// Two watchers share one node_exporter: every series names its station file, so neither set
// hides the other, also for a name that must be escaped (quote, backslash, line feed, a byte
// that is no UTF-8). A watcher stopped by SIGTERM leaves a textfile that says it is down.
TEST(WatchPrometheus, TwoWatchersShareNodeExporterAndAStoppedOneSaysSo) {
    TempDir dir;
    const auto textfiles = dir.path() / "textfile";
    std::filesystem::create_directory(textfiles);
    const std::string plain = dir.file("MARLOVEN.SIT");
    const std::string odd = dir.file("a\"b\\c\nd\xff.SIT");
    writeStationFile(plain, 3, 0);
    writeStationFile(odd, 2, 0);
    Stationctl plainHolder({"connect", plain, "2"});
    ASSERT_EQ(plainHolder.readLine(), "connected 2");
    Stationctl oddHolder({"connect", odd, "1"});
    ASSERT_EQ(oddHolder.readLine(), "connected 1");
    const std::string oddProm = (textfiles / "odd.prom").string();
    Stationctl first(
        {"watch", plain, "--prometheus", (textfiles / "plain.prom").string(), "--interval", "50"});
    Stationctl second({"watch", odd, "--prometheus", oddProm, "--interval", "50"});
    // Each textfile is written before its first event is printed.
    ASSERT_TRUE(first.readLineWithin(10s)) << "the connected event";
    ASSERT_TRUE(second.readLineWithin(10s)) << "the connected event";

    NodeExporter exporter(textfiles.string());
    const std::string plainFile = "{file=\"" + plain + '"';
    const std::string oddFile = "{file=\"" + dir.file("a\\\"b\\\\c\\nd\xef\xbf\xbd.SIT") + '"';
    const auto expectLines = [](const std::string& page, const std::vector<std::string>& lines) {
        for (const std::string& line : lines) {
            EXPECT_NE(page.find("\n" + line + "\n"), std::string::npos) << line << "\n" << page;
        }
    };
    const std::string version = ",version=\"" ORVENDAL_VERSION "\"} 1";
    expectLines(
        exporter.metrics(),
        {"orvendal_up" + plainFile + "} 1", "orvendal_running" + plainFile + "} 1",
         "orvendal_build_info" + plainFile + version, "orvendal_stations" + plainFile + "} 3",
         "orvendal_station_connected" + plainFile + ",rec=\"2\"} 1",
         "orvendal_up" + oddFile + "} 1", "orvendal_running" + oddFile + "} 1",
         "orvendal_build_info" + oddFile + version, "orvendal_stations" + oddFile + "} 2",
         "orvendal_station_connected" + oddFile + ",rec=\"1\"} 1", "node_textfile_scrape_error 0"});

    second.signal(SIGTERM);
    EXPECT_EQ(second.finish().status, 0);
    std::ifstream kept(oddProm);
    const std::string left((std::istreambuf_iterator<char>(kept)), {});
    expectLines(left, {"orvendal_up" + oddFile + "} 0", "orvendal_running" + oddFile + "} 0"});
    expectLines(exporter.metrics(),
                {"orvendal_up" + oddFile + "} 0", "orvendal_up" + plainFile + "} 1",
                 "node_textfile_scrape_error 0"});
    first.signal(SIGTERM);
    EXPECT_EQ(first.finish().status, 0);
}

} // namespace
