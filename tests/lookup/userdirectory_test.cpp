#include "userdirectory.h"

#include "odbcsandbox.h"
#include "text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace orvendal::lookup {
namespace {

using testing::Backend;
using testing::OdbcSandbox;
using testing::PgTestServer;

// Records the error boxes a look-up shows instead of showing them.
struct ErrorBoxes {
    std::vector<std::u16string> shown;
    ErrorBox box() {
        return [this](const std::u16string& text) { shown.push_back(text); };
    }
};

// What one look-up should give: its answer and, when it fails, the start of its error box text.
struct Outcome {
    std::u16string answer;
    std::u16string errorStart; // empty: no error box
    std::u16string hint = {};  // the box's second line, under the driver's text
};

void expectLookup(UserDirectory& users, std::int32_t code, const Outcome& expected) {
    ErrorBoxes errors;
    EXPECT_EQ(users.LookupUserName(code, errors.box()), expected.answer);
    if (expected.errorStart.empty()) {
        EXPECT_TRUE(errors.shown.empty()) << toUtf8(errors.shown.front());
        return;
    }
    ASSERT_EQ(errors.shown.size(), 1u);
    const std::u16string& text = errors.shown.front();
    EXPECT_EQ(text.substr(0, expected.errorStart.size()), expected.errorStart) << toUtf8(text);
    // The driver's text is one line, whatever its message looked like; a hint of ours follows it.
    const auto lineEnd = text.find_first_of(u"\r\n");
    const std::u16string hint = lineEnd == std::u16string::npos ? u"" : text.substr(lineEnd);
    EXPECT_EQ(hint, expected.hint.empty() ? u"" : u"\n" + expected.hint) << toUtf8(text);
}

std::u16string longName() {
    const std::u16string piece = u"Ñandú Álvarez Peña ";
    std::u16string name;
    while (name.size() < 10000)
        name += piece;
    name.resize(10000);
    return name;
}

std::string quoted(const std::u16string& text) {
    std::string sql = "'";
    for (char c : toUtf8(text)) {
        sql += c;
        if (c == '\'')
            sql += '\'';
    }
    return sql + "'";
}

class UserDirectoryTest : public ::testing::TestWithParam<Backend> {
protected:
    OdbcSandbox db{GetParam()};
    UserDirectory users;
};

// Each case: a fresh table and one look-up on a fresh directory. Outcomes differ between the
// engines only where the engine itself differs (padding of char(n), typing of comparisons).
TEST_P(UserDirectoryTest, AnswersOneLookup) {
    const std::u16string awkward = u"Ana\nMaría\t\x01\x1F fin\r";
    struct Case {
        const char* what;
        const char* columns; // nullptr: no table at all
        std::string rows;
        std::int32_t code;
        Outcome outcome;
        std::optional<Outcome> onPostgres;
    };
    const Case cases[] = {
        {"found",
         "UsuCDG integer, Nombre text",
         "INSERT INTO GenUsu VALUES (6, 'Otro'), (7, 'Ana Muñoz'), (8, 'Otra');",
         7,
         {u"7-Ana Muñoz", u""},
         std::nullopt},
        {"not found",
         "UsuCDG integer, Nombre text",
         "INSERT INTO GenUsu VALUES (7, 'Ana');",
         8,
         {u"8-No existe en TABLA", u""},
         std::nullopt},
        {"negative code",
         "UsuCDG integer, Nombre text",
         "INSERT INTO GenUsu VALUES (3, 'No'), (-3, 'Begoña');",
         -3,
         {u"-3-Begoña", u""},
         std::nullopt},
        {"trailing blanks",
         "UsuCDG integer, Nombre varchar(40)",
         "INSERT INTO GenUsu VALUES (5, 'Íñigo   ');",
         5,
         {u"5-Íñigo   ", u""},
         std::nullopt},
        {"char(n)",
         "UsuCDG integer, Nombre char(10)",
         "INSERT INTO GenUsu VALUES (5, 'Íñigo');",
         5,
         {u"5-Íñigo", u""},
         Outcome{u"5-Íñigo     ", u""}},
        {"two rows, one code",
         "UsuCDG integer, Nombre text",
         "INSERT INTO GenUsu VALUES (4, 'Primero'), (4, 'Segundo');",
         4,
         {u"4-Primero", u""},
         std::nullopt},
        {"name of another type",
         "UsuCDG integer, Nombre integer",
         "INSERT INTO GenUsu VALUES (7, 42);",
         7,
         {u"7-42", u""},
         std::nullopt},
        {"code of another type",
         "UsuCDG text, Nombre text",
         "INSERT INTO GenUsu VALUES ('7', 'Ana');",
         7,
         {u"7-Ana", u""},
         Outcome{u"", u"1.[42883]"}},
        {"long name",
         "UsuCDG integer, Nombre text",
         "INSERT INTO GenUsu VALUES (2, " + quoted(longName()) + ");",
         2,
         {u"2-" + longName(), u""},
         std::nullopt},
        {"control characters",
         "UsuCDG integer, Nombre text",
         "INSERT INTO GenUsu VALUES (3, " + quoted(awkward) + ");",
         3,
         {u"3-" + awkward, u""},
         std::nullopt},
        {"NULL name",
         "UsuCDG integer, Nombre text",
         "INSERT INTO GenUsu VALUES (9, NULL);",
         9,
         {u"", u"1005.el nombre del usuario (Nombre) es nulo"},
         std::nullopt},
        {"table missing",
         nullptr,
         "",
         7,
         {u"", u"1.[HY000] [SQLite]no such table: GenUsu"},
         Outcome{u"", u"1.[42P01]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.columns != nullptr) {
            db.resetTable(c.columns);
            db.exec(c.rows);
        } else {
            db.exec("DROP TABLE IF EXISTS GenUsu;");
        }
        UserDirectory fresh;
        expectLookup(fresh, c.code,
                     GetParam() == Backend::PostgreSQL && c.onPostgres ? *c.onPostgres : c.outcome);
    }
}

TEST_P(UserDirectoryTest, LookupAfterANullNameWorks) {
    db.resetTable();
    db.exec("INSERT INTO GenUsu VALUES (9, NULL), (7, 'Ana');");
    expectLookup(users, 9, {u"", u"1005."});
    expectLookup(users, 7, {u"7-Ana", u""});
    expectLookup(users, 9, {u"", u"1005."});
    expectLookup(users, 8, {u"8-No existe en TABLA", u""});
}

TEST_P(UserDirectoryTest, KeepsItsConnectionOpen) {
    db.resetTable();
    db.exec("INSERT INTO GenUsu VALUES (7, 'Ana'), (8, 'Beatriz');");
    expectLookup(users, 7, {u"7-Ana", u""});
    // A new connection would now be refused; the open one still answers.
    db.allowNewConnections(false);
    expectLookup(users, 8, {u"8-Beatriz", u""});
    expectLookup(users, 9, {u"9-No existe en TABLA", u""});
}

TEST_P(UserDirectoryTest, ConnectsAgainAfterAFailedConnect) {
    db.resetTable();
    db.exec("INSERT INTO GenUsu VALUES (7, 'Ana');");
    db.allowNewConnections(false);
    const Outcome refused{u"", GetParam() == Backend::SQLite
                                   ? u"14.[HY000] [unixODBC][SQLite]connect failed"
                                   : u"101.[08001] [unixODBC]connection to server"};
    expectLookup(users, 7, refused);
    expectLookup(users, 7, refused);
    db.allowNewConnections(true);
    expectLookup(users, 7, {u"7-Ana", u""});
}

INSTANTIATE_TEST_SUITE_P(Engines, UserDirectoryTest,
                         ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         [](const auto& info) { return testing::backendName(info.param); });

TEST(UserDirectoryOnPostgres, ServerDownAtFirstLookupUpAtNext) {
    OdbcSandbox db(Backend::PostgreSQL);
    db.resetTable();
    db.exec("INSERT INTO GenUsu VALUES (7, 'Ana');");
    UserDirectory users;
    {
        testing::PgServerBackUp up;
        PgTestServer::control("down");
        expectLookup(users, 7, {u"", u"101.[08001]"});
    }
    expectLookup(users, 7, {u"7-Ana", u""});
}

TEST(UserDirectoryOnPostgres, ServerRestartedBetweenLookups) {
    OdbcSandbox db(Backend::PostgreSQL);
    db.resetTable();
    db.exec("INSERT INTO GenUsu VALUES (7, 'Ana');");
    UserDirectory users;
    expectLookup(users, 7, {u"7-Ana", u""});
    PgTestServer::control("restart");
    // The look-up that meets the dropped connection reports it; the next one connects again.
    expectLookup(users, 7, {u"", u"35.[57P01]"});
    expectLookup(users, 7, {u"7-Ana", u""});
    expectLookup(users, 8, {u"8-No existe en TABLA", u""});
}

// The driver manager reads the data source at the first connection of the process, so each of
// these tests starts with its configuration already in place.
TEST(UserDirectoryConnect, DataSourceMissing) {
    OdbcSandbox db(Backend::SQLite);
    db.writeOdbcIni("[OTHER]\nDriver=SQLite3\n");
    UserDirectory users;
    const Outcome missing{u"", u"0.[IM002] [unixODBC][Driver Manager]Data source name not found",
                          u"Falta el origen de datos ODBC «MARLOVEN»: defínalo en odbc.ini (Linux) "
                          u"o en el Administrador de orígenes de datos ODBC (Windows)."};
    expectLookup(users, 7, missing);
    expectLookup(users, 7, missing);
}

TEST(UserDirectoryConnect, DriverLibraryMissing) {
    OdbcSandbox db(Backend::SQLite);
    db.writeOdbcIni("[MARLOVEN]\nDriver=Missing\n");
    UserDirectory users;
    expectLookup(users, 7, {u"", u"0.[01000] [unixODBC][Driver Manager]Can't open lib"});
}

// The driver manager's own trace records what reached it: the exact statement and the user.
TEST(UserDirectoryConnect, SendsTheQueryVerbatimAsUserGeneral) {
    OdbcSandbox db(Backend::SQLite);
    db.resetTable();
    db.exec("INSERT INTO GenUsu VALUES (12, 'Begoña');");
    const auto trace = db.folder() / "trace.log";
    db.traceTo(trace);
    UserDirectory users;
    expectLookup(users, 12, {u"12-Begoña", u""});

    std::ifstream in(trace);
    const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(log.find("[Select Nombre From GenUsu Where UsuCDG=12]"), std::string::npos) << log;
    const auto connect = log.find("[SQLConnect.c]");
    ASSERT_NE(connect, std::string::npos) << log;
    EXPECT_EQ(log.find("User Name = [", connect), log.find("User Name = [general]", connect))
        << log;
    EXPECT_NE(log.find("User Name = [general]", connect), std::string::npos) << log;
}

TEST(DemoDatabase, HoldsTheDemoUsers) {
    const std::string folder = testing::makeTemporaryFolder().string();
    testing::run(std::string(ORVENDAL_SOURCE_DIR) + "/scripts/demo/make-odbc.sh '" + folder + "'");
    setenv("ODBCSYSINI", folder.c_str(), 1);
    setenv("ODBCINI", (folder + "/odbc.ini").c_str(), 1);

    UserDirectory users;
    expectLookup(users, 1, {u"1-María José Peña Ortiz", u""});
    expectLookup(users, 3, {u"3-Íñigo Sáenz   ", u""});
    expectLookup(users, 7, {u"7-No existe en TABLA", u""});
    expectLookup(users, 9, {u"", u"1005."});
    expectLookup(users, 12, {u"12-Begoña Muñiz Ibáñez", u""});
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace orvendal::lookup
