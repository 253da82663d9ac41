#pragma once

#include "odbcerror.h"

#include "odbcapi.h"

#include <utility>

namespace orvendal::lookup {

// Owner of one ODBC handle of kind `Type` (SQL_HANDLE_ENV, _DBC or _STMT). Move-only; the
// destructor frees the handle and never throws. A failed allocation throws before anything is
// owned, so there is nothing to roll back.
template <SQLSMALLINT Type> class OdbcHandle {
public:
    OdbcHandle() noexcept = default;

    // Allocates under `parent` (none for an environment); a failure is read from the
    // parent's diagnostics.
    OdbcHandle(SQLSMALLINT parentType, SQLHANDLE parent) {
        SQLHANDLE handle = nullptr;
        lookup::check(SQLAllocHandle(Type, parent, &handle), parentType, parent, "SQLAllocHandle");
        handle_ = handle;
    }

    OdbcHandle(OdbcHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OdbcHandle& operator=(OdbcHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;

    ~OdbcHandle() { reset(); }

    // Freeing can only fail for a connection still connected, which its owner prevents.
    void reset() noexcept {
        if (handle_ != nullptr)
            SQLFreeHandle(Type, std::exchange(handle_, nullptr));
    }

    SQLHANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

    // Runs a call made on this handle through the checked path.
    SQLRETURN check(SQLRETURN rc, const char* call) const {
        return lookup::check(rc, Type, handle_, call);
    }

private:
    SQLHANDLE handle_ = nullptr;
};

} // namespace orvendal::lookup
