#include "webconfig.h"

#include "usageerror.h"

namespace orvendal::web {

WebSecurity readWebConfig(const std::string& path) {
    throw UsageError("--web-config " + path +
                     ": en Windows no se admite, porque este programa no lleva TLS ni "
                     "comprobación de contraseñas; sirva la página solo en 127.0.0.1 y "
                     "póngala detrás de IIS u otro proxy inverso que dé HTTPS y pida "
                     "contraseña (docs/windows.md)");
}

} // namespace orvendal::web
