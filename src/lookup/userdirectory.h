#pragma once

#include "connection.h"
#include "recordset.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace orvendal::lookup {

// Shows the text of an error box: "<number>.<description>", and for a data source that is not
// defined a second line that says where to define it.
using ErrorBox = std::function<void(const std::u16string&)>;

// The user table of the application's database, looked up by user code. Holds the connection and
// the recordset from the first look-up on, for the object's whole life.
class UserDirectory {
public:
    // "<code>-<name>" (the name exactly as stored), "<code>-No existe en TABLA" when no row has
    // the code. A failure is shown through `showError` and never thrown; the text returned is then
    // what the answer held when the failure came (empty, unless only closing the answer failed).
    std::u16string LookupUserName(std::int32_t code, const ErrorBox& showError);

private:
    void connect();
    void report(const std::exception_ptr& failure, const ErrorBox& showError) noexcept;

    std::optional<Connection> UserConnection;
    std::optional<Recordset> UserRecordset;
    bool connectionLost_ = false;
};

} // namespace orvendal::lookup
