#include "recordset.h"

#include "odbcapi.h"

namespace orvendal::lookup {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR is UTF-16");

void Recordset::open(const std::string& source, const Connection& activeConnection) {
    if (!stmt_)
        stmt_ = OdbcHandle<SQL_HANDLE_STMT>(SQL_HANDLE_DBC, activeConnection.handle());
    eof_ = true;
    stmt_.check(SQLExecDirect(stmt_.get(),
                              reinterpret_cast<SQLCHAR*>(const_cast<char*>(source.c_str())),
                              SQL_NTS),
                "SQLExecDirect");
    eof_ = stmt_.check(SQLFetch(stmt_.get()), "SQLFetch") == SQL_NO_DATA;
}

std::optional<std::u16string> Recordset::text(SQLUSMALLINT column) const {
    // A long value comes in parts: each call fills the buffer (less its terminator) and says
    // SQL_SUCCESS_WITH_INFO (01004) with the length still left, or SQL_NO_TOTAL.
    std::u16string value;
    std::u16string part(256, u'\0');
    for (;;) {
        SQLLEN indicator = 0;
        const auto bytes = static_cast<SQLLEN>(part.size() * sizeof(char16_t));
        const SQLRETURN rc = stmt_.check(
            SQLGetData(stmt_.get(), column, SQL_C_WCHAR, part.data(), bytes, &indicator),
            "SQLGetData");
        if (rc == SQL_NO_DATA)
            break;
        if (indicator == SQL_NULL_DATA)
            return std::nullopt;
        const std::size_t room = part.size() - 1;
        const bool truncated = rc == SQL_SUCCESS_WITH_INFO &&
                               (indicator == SQL_NO_TOTAL ||
                                static_cast<std::size_t>(indicator) / sizeof(char16_t) > room);
        if (!truncated) {
            value.append(
                indicator == SQL_NO_TOTAL
                    ? std::u16string_view(part.data())
                    : std::u16string_view(part.data(),
                                          static_cast<std::size_t>(indicator) / sizeof(char16_t)));
            break;
        }
        value.append(part.data(), room);
        if (indicator != SQL_NO_TOTAL)
            part.resize(static_cast<std::size_t>(indicator) / sizeof(char16_t) - room + 1);
    }
    return value;
}

void Recordset::close() {
    if (stmt_)
        stmt_.check(SQLFreeStmt(stmt_.get(), SQL_CLOSE), "SQLFreeStmt");
    eof_ = true;
}

} // namespace orvendal::lookup
