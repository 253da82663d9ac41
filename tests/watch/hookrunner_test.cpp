// The hook runner's report of dropped hooks, with real hooks run by /bin/sh.
#include "hooks.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

using namespace orvendal;
using namespace orvendal::watch;
using namespace std::chrono_literals;

namespace {

TEST(HookRunner, DroppedHooksAreCountedInOneLinePerReport) {
    struct Case {
        std::string name;
        std::chrono::milliseconds reportEvery;
        std::vector<std::string> lines;
    };
    const std::string eight = "8 órdenes de --on-change descartadas desde ";
    const std::string one = "1 orden de --on-change descartada desde ";
    const Case cases[] = {
        {"once an hour", 1h, {eight}},
        {"at every drop", 0ms, {one, one, one, one, one, one, one, one}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        orvendal::testing::TempDir dir;
        const std::string flag = dir.file("go");
        std::mutex mutex;
        std::vector<std::string> lines;
        // One hook at a time and one waiting; each waits until the test lets it end, so the
        // third event on is dropped whatever the hooks' pace.
        HookRunner runner(
            "while [ ! -e '" + flag + "' ]; do sleep 0.05; done",
            [&](const std::string& line) {
                const std::lock_guard lock(mutex);
                lines.push_back(line);
            },
            1, 1, 60s, c.reportEvery);
        station::Event event;
        event.kind = station::EventKind::Recovered;
        event.time = WallClock::now();
        for (int i = 0; i < 10; ++i) {
            runner.post(event);
        }
        runner.reportDropped();
        std::ofstream{flag};
        runner.finish(30s);
        const std::lock_guard lock(mutex);
        ASSERT_EQ(lines.size(), c.lines.size()) << ::testing::PrintToString(lines);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(lines[i].starts_with(c.lines[i])) << lines[i];
            EXPECT_NE(lines[i].find(": ya había 1 en marcha y 1 en espera"), std::string::npos)
                << lines[i];
        }
    }
}

} // namespace
