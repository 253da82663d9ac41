#pragma once

#include <filesystem>
#include <ostream>
#include <string>

namespace orvendal::lookup::testing {

enum class Backend { SQLite, PostgreSQL };

std::string backendName(Backend backend);
void PrintTo(Backend backend, std::ostream* out); // names the engine in test output

// The throw-away PostgreSQL server that scripts/pg-test-server.sh runs; its state folder comes
// from ORVENDAL_PG_STATE (set by CTest and the benchmark script).
class PgTestServer {
public:
    static int port();
    // "down", "up" or "restart": the same server on the same port.
    static void control(const std::string& action);
};

// Brings the test server back up however a test ends, so later tests find it running.
struct PgServerBackUp {
    PgServerBackUp() = default;
    PgServerBackUp(const PgServerBackUp&) = delete;
    PgServerBackUp& operator=(const PgServerBackUp&) = delete;
    ~PgServerBackUp();
};

// The private ODBC configuration of one test process: odbcinst.ini with the SQLite3, PostgreSQL
// Unicode and a "Missing" driver, and odbc.ini with the data source MARLOVEN on `backend`, made
// current through ODBCSYSINI and ODBCINI. A new sandbox has no table GenUsu: the SQLite database is
// a new file, and on PostgreSQL the test server's table is dropped.
class OdbcSandbox {
public:
    explicit OdbcSandbox(Backend backend);
    ~OdbcSandbox();
    OdbcSandbox(const OdbcSandbox&) = delete;
    OdbcSandbox& operator=(const OdbcSandbox&) = delete;

    // Runs SQL (UTF-8) as the database's owner through the engine's own command-line client.
    void exec(const std::string& sql) const;
    // Replaces GenUsu by a new table of the given column types.
    void resetTable(const std::string& columns = "UsuCDG integer, Nombre text") const;
    // Rewrites odbc.ini with the given body (the whole file); seen only before the process's
    // first connection.
    void writeOdbcIni(const std::string& body) const;
    // Turns on the driver manager's trace of every call into `file`; seen only before the
    // process's first connection.
    void traceTo(const std::filesystem::path& file) const;
    // Makes new connections to the database fail (the SQLite file moved away, the PostgreSQL
    // role without LOGIN) or work again; open connections carry on.
    void allowNewConnections(bool allow) const;

    const std::filesystem::path& folder() const { return folder_; }
    std::string dataSourceSection() const;

private:
    std::string drivers() const; // the body of odbcinst.ini

    Backend backend_;
    std::filesystem::path folder_;
};

std::filesystem::path makeTemporaryFolder();

// Runs a shell command, throwing with its output when it fails.
void run(const std::string& command);

} // namespace orvendal::lookup::testing
