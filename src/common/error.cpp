#include "error.h"

namespace orvendal {
namespace {

class OrvendalCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "orvendal"; }
    std::string message(int number) const override {
        switch (static_cast<errc>(number)) {
        case errc::RecordLocked:
            return "registro bloqueado por otro proceso";
        case errc::NotRegularFile:
            return "no es un fichero normal";
        case errc::BadFileNumber:
            return "nombre o número de fichero incorrecto";
        case errc::NullValue:
            return "el nombre del usuario (Nombre) es nulo";
        case errc::Overflow:
            return "desbordamiento";
        case errc::Unencodable:
            return "carácter que la página de códigos 1252 no admite";
        case errc::InvalidValue:
            return "valor de propiedad no válido";
        case errc::NoHeader:
            return "el fichero de estaciones es más corto que su cabecera";
        case errc::NewerJournal:
            return "diario de una versión más nueva";
        case errc::NotAJournal:
            return "no es un diario de stationctl watch";
        case errc::Unexpected:
            break;
        }
        return "fallo inesperado";
    }
};

} // namespace

const std::error_category& orvendalCategory() noexcept {
    static const OrvendalCategory category;
    return category;
}

} // namespace orvendal
