#pragma once

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvendal {

// Numbers of the failures that no OS or driver call reports, so no errno or native code exists
// for them. Kept apart from errno's range so that a number names one failure only.
namespace errc {
inline constexpr long RecordLocked = 1001;   // a byte of the record is locked by another process
inline constexpr long NotRegularFile = 1002; // the station path is a directory, FIFO, device...
inline constexpr long BadFileNumber = 1003;  // no station file is open under that handle number
inline constexpr long NullValue = 1005;      // a database value is NULL and cannot become text
inline constexpr long Overflow = 1006;       // a number does not fit a signed 32-bit integer
inline constexpr long Unencodable = 1007;    // a character that code page 1252 cannot store
inline constexpr long InvalidValue = 1008;   // a list row, column, mode or size a control refuses
inline constexpr long NoHeader = 1009;       // the station file ends before its header does
inline constexpr long Unexpected = 1099;     // an exception that is not one of ours

// The description of each of the numbers above, in the window's language.
inline const char* description(long number) noexcept {
    switch (number) {
    case RecordLocked:
        return "registro bloqueado por otro proceso";
    case NotRegularFile:
        return "no es un fichero normal";
    case BadFileNumber:
        return "nombre o número de fichero incorrecto";
    case NullValue:
        return "el nombre del usuario (Nombre) es nulo";
    case Overflow:
        return "desbordamiento";
    case Unencodable:
        return "carácter que la página de códigos 1252 no admite";
    case InvalidValue:
        return "valor de propiedad no válido";
    case NoHeader:
        return "el fichero de estaciones es más corto que su cabecera";
    default:
        return "fallo inesperado";
    }
}
} // namespace errc

// The one error type of the whole program: an error number and a description, shown to the user
// as the number, a one-character separator and the description with nothing between them.
// Built from errno, from ODBC diagnostics, or from our own checks.
class Error : public std::runtime_error {
public:
    Error(long number, std::string description)
        : std::runtime_error(description), number_(number), description_(std::move(description)) {}

    // The OS's description, in the language of the user's locale (LC_MESSAGES) once the
    // program has called setlocale. glibc's strerror keeps unknown numbers' text per thread.
    static Error fromErrno(int err) { return Error(err, std::strerror(err)); }
    static Error fromErrno(int err, const std::string& context) {
        return Error(err, std::string(std::strerror(err)) + ": " + context);
    }
    // One of our own failures (a number of errc), with its description from errc's table.
    static Error of(long number) { return Error(number, errc::description(number)); }
    static Error of(long number, const std::string& context) {
        return Error(number, std::string(errc::description(number)) + ": " + context);
    }

    long number() const noexcept { return number_; }
    const std::string& description() const noexcept { return description_; }

    // "<number><separator><description>", as the error message boxes show it.
    std::string text(char separator) const {
        return std::to_string(number_) + separator + description_;
    }

private:
    long number_;
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
