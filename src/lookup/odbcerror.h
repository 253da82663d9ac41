#pragma once

#include "error.h"

#include "odbcapi.h"

#include <string>

namespace orvendal::lookup {

// The native codes of drivers' diagnostics, which each driver numbers its own way.
const std::error_category& odbcCategory() noexcept;

// A failure reported by the driver manager or a driver. Shown like any other Error (native code,
// "[SQLSTATE] message"); the SQLSTATE is kept apart so callers can tell a lost connection.
class OdbcError : public Error {
public:
    OdbcError(long nativeCode, std::string sqlState, const std::string& message)
        : Error({static_cast<int>(nativeCode), odbcCategory()}, "[" + sqlState + "] " + message),
          sqlState_(std::move(sqlState)) {}

    const std::string& sqlState() const noexcept { return sqlState_; }

private:
    std::string sqlState_;
};

// The one checked path of every ODBC call: SQL_ERROR and SQL_INVALID_HANDLE throw the OdbcError
// built from the first diagnostic record of `handle`; every other return code is handed back.
SQLRETURN check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* call);

} // namespace orvendal::lookup
