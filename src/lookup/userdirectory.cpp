#include "userdirectory.h"

#include "odbcerror.h"
#include "text.h"

#include <array>
#include <exception>
#include <string>
#include <string_view>

namespace orvendal::lookup {

namespace {

const std::string DataSource = "MARLOVEN";
const std::string UserId = "general";
constexpr SQLUSMALLINT NombreColumn = 1; // the query selects Nombre alone

// SQLSTATEs of a link to the server that is gone: communication failure, connection not open,
// and PostgreSQL's "terminating connection due to administrator command" (a server restart).
bool meansConnectionLost(std::string_view sqlState) {
    constexpr std::array<std::string_view, 3> lost = {"08S01", "08003", "57P01"};
    for (std::string_view state : lost)
        if (sqlState == state)
            return true;
    return false;
}

} // namespace

std::u16string UserDirectory::LookupUserName(std::int32_t code, const ErrorBox& showError) {
    std::u16string result;
    try {
        connect();
        if (!UserRecordset)
            UserRecordset.emplace();
        UserRecordset->open("Select Nombre From GenUsu Where UsuCDG=" + std::to_string(code),
                            *UserConnection);
        if (UserRecordset->eof()) {
            result = u"No existe en TABLA";
        } else {
            std::optional<std::u16string> name = UserRecordset->text(NombreColumn);
            if (!name)
                throw Error::of(errc::NullValue);
            result = std::move(*name);
        }
        result = fromUtf8(std::to_string(code)) + u"-" + result;
        UserRecordset->close();
    } catch (...) {
        // Whatever the failure (a driver's, ours, or memory running out), the look-up reports it
        // and returns; nothing of it reaches the double-click handler.
        report(std::current_exception(), showError);
    }
    return result;
}

// Creates the connection at the first look-up and keeps it; opens it whenever it is not open,
// so a data source that was missing or down at one look-up is tried again at the next.
void UserDirectory::connect() {
    if (connectionLost_) {
        connectionLost_ = false;
        if (UserRecordset)
            UserRecordset->release();
        try {
            UserConnection->close();
        } catch (const Error&) {
            // A link that is gone may refuse even to disconnect; a new connection replaces it,
            // or every later look-up would fail at this same close.
            UserConnection.reset();
        }
    }
    if (!UserConnection) {
        UserConnection.emplace();
        UserConnection->setUserId(UserId);
    }
    if (!UserConnection->isOpen())
        UserConnection->open(DataSource);
}

// A look-up that finds the server gone shows that failure like any other and does not retry:
// a silent reconnect-and-retry would hide that the database went away (and could repeat a
// failure the user never sees); marking the connection lost is enough for the next look-up to
// connect again. The cursor is closed so the next query can open it; a failure to close
// is left unshown, the first failure being the one that explains the look-up.
void UserDirectory::report(const std::exception_ptr& failure, const ErrorBox& showError) noexcept {
    try {
        std::string sqlState;
        try {
            std::rethrow_exception(failure);
        } catch (const OdbcError& odbc) {
            sqlState = odbc.sqlState();
        } catch (...) {
        }
        if (UserConnection && UserConnection->isOpen() &&
            (meansConnectionLost(sqlState) || UserConnection->isDead()))
            connectionLost_ = true;
        if (UserRecordset) {
            try {
                UserRecordset->close();
            } catch (...) {
            }
        }
        std::u16string text = fromUtf8(toError(failure).text('.'));
        // The driver manager's own text says only that the name is unknown, in English.
        if (sqlState == "IM002")
            text += u"\nFalta el origen de datos ODBC «" + fromUtf8(DataSource) +
                    u"»: defínalo en odbc.ini (Linux) o en el Administrador de orígenes de datos "
                    u"ODBC (Windows).";
        showError(text);
    } catch (...) {
        // Not even the box could be shown (no memory left for its text, say): the answer
        // that follows it is all the user gets.
    }
}

} // namespace orvendal::lookup
