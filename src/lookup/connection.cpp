#include "connection.h"

#include "odbcapi.h"

namespace orvendal::lookup {

namespace {

OdbcHandle<SQL_HANDLE_ENV> odbc3Environment() {
    OdbcHandle<SQL_HANDLE_ENV> env(SQL_HANDLE_ENV, nullptr);
    env.check(SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION,
                            reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
              "SQLSetEnvAttr");
    return env;
}

SQLCHAR* sqlText(const std::string& text) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

} // namespace

Connection::Connection() : env_(odbc3Environment()), dbc_(SQL_HANDLE_ENV, env_.get()) {}

Connection::Connection(Connection&& other) noexcept
    : env_(std::move(other.env_)), dbc_(std::move(other.dbc_)), userId_(std::move(other.userId_)),
      open_(std::exchange(other.open_, false)) {}

Connection::~Connection() {
    // A connected handle cannot be freed; a failed disconnect leaves nothing better to do.
    if (open_)
        SQLDisconnect(dbc_.get());
}

void Connection::open(const std::string& dataSource) {
    // The narrow call on purpose: the names are ASCII, and for a driver without wide calls (the
    // SQLite one) unixODBC's conversion of SQLConnectW's texts reads past their end.
    static const std::string noPassword;
    dbc_.check(SQLConnect(dbc_.get(), sqlText(dataSource), SQL_NTS, sqlText(userId_), SQL_NTS,
                          sqlText(noPassword), SQL_NTS),
               "SQLConnect");
    open_ = true;
}

void Connection::close() {
    if (!open_)
        return;
    dbc_.check(SQLDisconnect(dbc_.get()), "SQLDisconnect");
    open_ = false;
}

bool Connection::isDead() const noexcept {
    // Not every driver answers this (the call may fail); a failed query then reads as "alive".
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN rc = SQLGetConnectAttr(dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
}

} // namespace orvendal::lookup
