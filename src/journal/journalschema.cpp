#include "journalschema.h"

#include "error.h"
#include "sqlitedatabase.h"

namespace orvendal::journal::schema {
namespace {

long long single(const Database& database, std::string_view sql) {
    Statement query(database, sql);
    query.step();
    const long long value = query.integer("n");
    query.run();
    return value;
}

} // namespace

int checkedVersion(const Database& database, const std::string& path) {
    const auto version =
        static_cast<int>(single(database, "SELECT user_version AS n FROM pragma_user_version"));
    if (version > kVersion) {
        throw Error::of(errc::NewerJournal,
                        path + " es de la versión " + std::to_string(version) +
                            " del esquema, y este stationctl solo conoce hasta la " +
                            std::to_string(kVersion) +
                            ": ni lo lee ni lo escribe; use la versión de Orvendal que lo "
                            "escribió o una más nueva");
    }
    if (version == 0 && single(database, "SELECT count(*) AS n FROM sqlite_schema") > 0) {
        throw Error::of(errc::NotAJournal,
                        path + " es una base de datos de otro programa (tiene tablas y ninguna "
                               "versión de diario): no se toca");
    }
    return version;
}

void upgrade(Database& database, int version) {
    for (int step = version; step < kVersion; ++step) {
        database.exec(kUpgrades[static_cast<std::size_t>(step)]);
    }
    if (version != kVersion) {
        database.exec("PRAGMA user_version = " + std::to_string(kVersion));
    }
}

} // namespace orvendal::journal::schema
