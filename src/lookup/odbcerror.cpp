#include "odbcerror.h"

#include "text.h"

#include "odbcapi.h"

#include <string_view>

namespace orvendal::lookup {

namespace {

// Driver messages may span lines (psqlODBC appends the server's detail on a new line); the error
// box shows one line of text, so each run of line breaks becomes one blank.
std::string foldLines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool inBreak = false;
    for (char c : text) {
        if (c == '\n' || c == '\r') {
            inBreak = true;
            continue;
        }
        if (inBreak && !out.empty())
            out += ' ';
        inBreak = false;
        out += c;
    }
    return out;
}

OdbcError firstDiagnostic(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle,
                          const char* call) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::u16string message(512, u'\0');
    SQLSMALLINT length = 0;
    SQLRETURN got = SQL_ERROR;
    if (handle != nullptr) {
        for (;;) {
            got = SQLGetDiagRecW(handleType, handle, 1, state, &native,
                                 reinterpret_cast<SQLWCHAR*>(message.data()),
                                 static_cast<SQLSMALLINT>(message.size()), &length);
            if (got != SQL_SUCCESS_WITH_INFO || length < static_cast<SQLSMALLINT>(message.size()))
                break;
            message.resize(static_cast<std::size_t>(length) + 1);
        }
    }
    if (!SQL_SUCCEEDED(got)) {
        // No record to read (an invalid handle, or a failed allocation of an environment):
        // the return code itself is the only number there is.
        return OdbcError(rc, "HY000",
                         std::string(call) + " ha fallado sin registro de diagnóstico");
    }
    message.resize(static_cast<std::size_t>(length));
    std::u16string sqlState(state, state + 5);
    return OdbcError(native, toUtf8(sqlState), foldLines(toUtf8(message)));
}

class OdbcCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "odbc"; }
    std::string message(int code) const override {
        return "código nativo " + std::to_string(code) + " del controlador ODBC";
    }
};

} // namespace

const std::error_category& odbcCategory() noexcept {
    static const OdbcCategory category;
    return category;
}

SQLRETURN check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* call) {
    if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE)
        throw firstDiagnostic(rc, handleType, handle, call);
    return rc;
}

} // namespace orvendal::lookup
