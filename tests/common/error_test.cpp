#include "error.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

namespace orvendal {
namespace {

// The texts the window shows for our own failures, as the user guide lists them.
TEST(Error, OwnFailuresReadInSpanish) {
    const struct {
        Error error;
        const char* text;
    } cases[] = {
        {Error::of(errc::RecordLocked), "1001-registro bloqueado por otro proceso"},
        {Error::of(errc::NotRegularFile, "/srv/MARLOVEN.SIT"),
         "1002-no es un fichero normal: /srv/MARLOVEN.SIT"},
        {Error::of(errc::BadFileNumber), "1003-nombre o número de fichero incorrecto"},
        {Error::of(errc::NullValue), "1005-el nombre del usuario (Nombre) es nulo"},
        {Error::of(errc::Overflow), "1006-desbordamiento"},
        {Error::of(errc::Unencodable, "\"東\""),
         "1007-carácter que la página de códigos 1252 no admite: \"東\""},
        {Error::of(errc::InvalidValue), "1008-valor de propiedad no válido"},
        {toError(std::make_exception_ptr(std::logic_error("vector::at"))),
         "1099-fallo inesperado: vector::at"},
        {toError(std::make_exception_ptr(42)), "1099-fallo inesperado"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.error.text('-'), c.text);
    EXPECT_EQ(toError(std::make_exception_ptr(std::bad_alloc())).code(), errnoCode(ENOMEM));
}

} // namespace
} // namespace orvendal
