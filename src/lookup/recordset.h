#pragma once

#include "connection.h"

#include <optional>
#include <string>

namespace orvendal::lookup {

// A forward-only answer to one query over a connection, opened and closed again for every query.
// Its statement handle is allocated by the first open on an open connection, and released only
// when that connection is about to be dropped.
class Recordset {
public:
    // Runs `source` over `activeConnection` and moves to the first row of the answer, if any.
    void open(const std::string& source, const Connection& activeConnection);
    bool eof() const noexcept { return eof_; }
    // The current row's value of `column` (1-based) as UTF-16 text, or nothing for NULL.
    std::optional<std::u16string> text(SQLUSMALLINT column) const;
    // Closes the cursor; also succeeds on a cursor that is not open.
    void close();
    // Frees the statement; must come before its connection is disconnected.
    void release() noexcept { stmt_.reset(); }

private:
    OdbcHandle<SQL_HANDLE_STMT> stmt_;
    bool eof_ = true;
};

} // namespace orvendal::lookup
