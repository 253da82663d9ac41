#include "odbcsandbox.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace orvendal::lookup::testing {

namespace fs = std::filesystem;

namespace {

std::string pgStateFolder() {
    const char* state = std::getenv("ORVENDAL_PG_STATE");
    if (state == nullptr || *state == '\0')
        throw std::runtime_error("ORVENDAL_PG_STATE is not set: run through ctest or "
                                 "scripts/bench-lookup.sh, which start the test server");
    return state;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

std::string psql(const std::string& user, const std::string& arguments) {
    return "PGCLIENTENCODING=UTF8 psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p " +
           std::to_string(PgTestServer::port()) + " -U " + user + " -d marloven " + arguments;
}

} // namespace

fs::path makeTemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "orvendal-odbc.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder");
    return pattern;
}

std::string backendName(Backend backend) {
    return backend == Backend::SQLite ? "SQLite" : "PostgreSQL";
}

void PrintTo(Backend backend, std::ostream* out) {
    *out << backendName(backend);
}

void run(const std::string& command) {
    const std::string withOutput = command + " 2>&1";
    FILE* pipe = popen(withOutput.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("cannot run " + command);
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    if (pclose(pipe) != 0)
        throw std::runtime_error(command + " failed: " + output);
}

int PgTestServer::port() {
    return std::stoi(readFile(fs::path(pgStateFolder()) / "port"));
}

void PgTestServer::control(const std::string& action) {
    run(std::string(ORVENDAL_SOURCE_DIR) + "/scripts/pg-test-server.sh " + action + " '" +
        pgStateFolder() + "'");
}

PgServerBackUp::~PgServerBackUp() {
    try {
        PgTestServer::control("up");
    } catch (const std::exception&) {
    }
}

OdbcSandbox::OdbcSandbox(Backend backend) : backend_(backend) {
    // libodbc keeps what it read from odbc.ini for 20 seconds in a cache of its own that nothing
    // outside it can empty: a second configuration in one process would not be seen. CTest runs
    // every test in a process of its own.
    static bool configured = false;
    if (std::exchange(configured, true))
        throw std::runtime_error("one ODBC configuration per process: run the tests through ctest");

    folder_ = makeTemporaryFolder();
    writeFile(folder_ / "odbcinst.ini", drivers());
    writeOdbcIni(dataSourceSection());
    setenv("ODBCSYSINI", folder_.c_str(), 1);
    setenv("ODBCINI", (folder_ / "odbc.ini").c_str(), 1);
    if (backend_ == Backend::SQLite)
        exec("PRAGMA user_version = 1;"); // creates the file the data source needs
    else
        exec("DROP TABLE IF EXISTS GenUsu;");
}

OdbcSandbox::~OdbcSandbox() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    if (backend_ == Backend::PostgreSQL) {
        try {
            allowNewConnections(true);
        } catch (const std::exception&) {
        }
    }
}

std::string OdbcSandbox::drivers() const {
    return "[SQLite3]\nDriver=" ORVENDAL_SQLITE_ODBC_DRIVER "\n\n"
           "[PostgreSQL Unicode]\nDriver=" ORVENDAL_PG_ODBC_DRIVER "\n\n"
           "[Missing]\nDriver=" +
           (folder_ / "no-such-driver.so").string() + "\n";
}

void OdbcSandbox::traceTo(const std::filesystem::path& file) const {
    writeFile(folder_ / "odbcinst.ini",
              "[ODBC]\nTrace=Yes\nTraceFile=" + file.string() + "\n\n" + drivers());
}

std::string OdbcSandbox::dataSourceSection() const {
    if (backend_ == Backend::SQLite)
        return "[MARLOVEN]\nDriver=SQLite3\nDatabase=" + (folder_ / "marloven.db").string() +
               "\nNoCreat=1\n";
    return "[MARLOVEN]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=" +
           std::to_string(PgTestServer::port()) + "\nDatabase=marloven\n";
}

void OdbcSandbox::writeOdbcIni(const std::string& body) const {
    writeFile(folder_ / "odbc.ini", body);
}

void OdbcSandbox::allowNewConnections(bool allow) const {
    const fs::path database = folder_ / "marloven.db";
    const fs::path aside = folder_ / "marloven.db.aside";
    if (backend_ == Backend::SQLite)
        fs::rename(allow ? aside : database, allow ? database : aside);
    else
        run(psql("postgres",
                 "-c 'ALTER ROLE general " + std::string(allow ? "LOGIN" : "NOLOGIN") + "'"));
}

void OdbcSandbox::exec(const std::string& sql) const {
    const fs::path file = folder_ / "setup.sql";
    writeFile(file, sql);
    if (backend_ == Backend::SQLite)
        run("sqlite3 -bail '" + (folder_ / "marloven.db").string() + "' < '" + file.string() + "'");
    else
        run(psql("general", "-f '" + file.string() + "'"));
}

void OdbcSandbox::resetTable(const std::string& columns) const {
    exec("DROP TABLE IF EXISTS GenUsu; CREATE TABLE GenUsu (" + columns + ");");
}

} // namespace orvendal::lookup::testing
