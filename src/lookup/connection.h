#pragma once

#include "odbchandle.h"

#include <string>

namespace orvendal::lookup {

// A database connection: its own ODBC 3 environment and connection handle, opened on a data
// source under a remembered user id without a password.
class Connection {
public:
    Connection(); // a new, closed connection
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&&) = delete;
    ~Connection();

    void setUserId(std::string userId) { userId_ = std::move(userId); }
    void open(const std::string& dataSource);
    void close();

    bool isOpen() const noexcept { return open_; }
    // What the driver says after a failed call: whether the link to the server is gone.
    bool isDead() const noexcept;

    SQLHDBC handle() const noexcept { return dbc_.get(); }

private:
    OdbcHandle<SQL_HANDLE_ENV> env_;
    OdbcHandle<SQL_HANDLE_DBC> dbc_;
    std::string userId_;
    bool open_ = false;
};

} // namespace orvendal::lookup
