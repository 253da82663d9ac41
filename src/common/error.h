#pragma once

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace orvendal {

// The failures that no OS or driver call reports, so no errno or native code exists for them.
// Named like std::errc, whose role it plays for the program's own failures. Their numbers are
// the ones the user guide lists; their category keeps them apart from every OS's numbers.
enum class errc {
    RecordLocked = 1001,   // a byte of the record is locked by another process
    NotRegularFile = 1002, // the station path is a directory, FIFO, device...
    BadFileNumber = 1003,  // no station file is open under that handle number
    NullValue = 1005,      // a database value is NULL and cannot become text
    Overflow = 1006,       // a number does not fit a signed 32-bit integer
    Unencodable = 1007,    // a character that code page 1252 cannot store
    InvalidValue = 1008,   // a list row, column, mode or size a control refuses
    NoHeader = 1009,       // the station file ends before its header does
    NewerJournal = 1010,   // a journal written by a newer version of the program
    NotAJournal = 1011,    // a database that is no journal of the watcher's
    Unexpected = 1099,     // an exception that is not one of ours
};

// The category of errc, whose messages are the descriptions above in the window's language.
const std::error_category& orvendalCategory() noexcept;

inline std::error_code make_error_code(errc e) noexcept {
    return {static_cast<int>(e), orvendalCategory()};
}

// An errno value, as POSIX and the C library (also mingw's) number them.
inline std::error_code errnoCode(int err) noexcept {
    return {err, std::generic_category()};
}

} // namespace orvendal

template <> struct std::is_error_code_enum<orvendal::errc> : std::true_type {};

namespace orvendal {

// The one error type of the whole program: a code, whose category says who numbered it (errno,
// Windows, SQLite, ODBC or ours), and a description. It is shown to the user as the code's
// number, a one-character separator and the description, with nothing between them; a number
// alone never identifies a failure, its category does with it.
class Error : public std::runtime_error {
public:
    Error(std::error_code code, std::string description)
        : std::runtime_error(description), code_(code), description_(std::move(description)) {}

    // The OS's description, in the language of the user's locale (LC_MESSAGES) once the
    // program has called setlocale. glibc's strerror keeps unknown numbers' text per thread.
    static Error fromErrno(int err) { return Error(errnoCode(err), std::strerror(err)); }
    static Error fromErrno(int err, const std::string& context) {
        return Error(errnoCode(err), std::string(std::strerror(err)) + ": " + context);
    }
    // One of our own failures, with its description from its category.
    static Error of(errc e) { return Error(e, orvendalCategory().message(static_cast<int>(e))); }
    static Error of(errc e, const std::string& context) {
        return Error(e, orvendalCategory().message(static_cast<int>(e)) + ": " + context);
    }

    const std::error_code& code() const noexcept { return code_; }
    const std::string& description() const noexcept { return description_; }

    // "<number><separator><description>", as the error message boxes show it.
    std::string text(char separator) const {
        return std::to_string(code_.value()) + separator + description_;
    }

private:
    std::error_code code_;
    std::string description_;
};

// The error of any exception, so that handlers that catch everything report one Error.
inline Error toError(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Error& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return Error::fromErrno(ENOMEM);
    } catch (const std::exception& e) {
        return Error::of(errc::Unexpected, e.what());
    } catch (...) {
        return Error::of(errc::Unexpected);
    }
}

} // namespace orvendal
