#include "userdirectory.h"

#include "text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

// The look-up through Windows' own driver manager, odbc32. Under Wine it hands every call to the
// host's unixODBC, whose configuration (ODBCSYSINI, ODBCINI) must be in the environment before
// Wine starts: CTest sets it, and a fixture builds the demo database with
// scripts/demo/make-odbc.sh.
namespace orvendal::lookup {
namespace {

namespace fs = std::filesystem;

// The demo's ODBC folder as this process reaches it (ORVENDAL_ODBC_DEMO, a Windows path).
fs::path demoFolder() {
    const char* folder = std::getenv("ORVENDAL_ODBC_DEMO");
    if (folder == nullptr || *folder == '\0') {
        throw std::runtime_error("ORVENDAL_ODBC_DEMO is not set: run the tests through ctest");
    }
    return folder;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Changes the demo's odbc.ini or database for one test and puts it back however the test ends.
class DemoChange {
public:
    DemoChange() : folder_(demoFolder()), odbcIni_(readText(folder_ / "odbc.ini")) {}
    DemoChange(const DemoChange&) = delete;
    DemoChange& operator=(const DemoChange&) = delete;
    ~DemoChange() {
        writeText(folder_ / "odbc.ini", odbcIni_);
        std::error_code ignored;
        if (fs::exists(aside())) {
            fs::rename(aside(), database(), ignored);
        }
    }

    void writeOdbcIni(const std::string& body) const { writeText(folder_ / "odbc.ini", body); }
    void moveDatabase(bool away) const {
        fs::rename(away ? database() : aside(), away ? aside() : database());
    }

private:
    fs::path database() const { return folder_ / "marloven.db"; }
    fs::path aside() const { return folder_ / "marloven.db.aside"; }

    fs::path folder_;
    std::string odbcIni_;
};

struct Outcome {
    std::u16string answer;
    std::u16string errorStart; // empty: no error box
};

void expectLookup(UserDirectory& users, std::int32_t code, const Outcome& expected) {
    std::vector<std::u16string> shown;
    const ErrorBox box = [&shown](const std::u16string& text) { shown.push_back(text); };
    EXPECT_EQ(users.LookupUserName(code, box), expected.answer);
    if (expected.errorStart.empty()) {
        EXPECT_TRUE(shown.empty()) << toUtf8(shown.front());
        return;
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown.front().substr(0, expected.errorStart.size()), expected.errorStart)
        << toUtf8(shown.front());
}

TEST(UserDirectoryOnOdbc32, AnswersFromTheDemoDatabase) {
    UserDirectory users;
    const struct {
        std::int32_t code;
        Outcome outcome;
    } cases[] = {
        {1, {u"1-María José Peña Ortiz", u""}}, {3, {u"3-Íñigo Sáenz   ", u""}},
        {7, {u"7-No existe en TABLA", u""}},    {9, {u"", u"1005."}},
        {12, {u"12-Begoña Muñiz Ibáñez", u""}}, {-1, {u"-1-No existe en TABLA", u""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        expectLookup(users, c.code, c.outcome);
    }
}

TEST(UserDirectoryOnOdbc32, DataSourceMissing) {
    DemoChange change;
    change.writeOdbcIni("[OTHER]\nDriver=SQLite3\n");
    UserDirectory users;
    const Outcome missing{u"", u"0.[IM002]"};
    expectLookup(users, 7, missing);
    expectLookup(users, 7, missing);
}

TEST(UserDirectoryOnOdbc32, ConnectsAgainAfterAFailedConnect) {
    DemoChange change;
    change.moveDatabase(true);
    UserDirectory users;
    const Outcome refused{u"", u"14.[HY000]"};
    expectLookup(users, 1, refused);
    expectLookup(users, 1, refused);
    change.moveDatabase(false);
    expectLookup(users, 1, {u"1-María José Peña Ortiz", u""});
}

} // namespace
} // namespace orvendal::lookup
