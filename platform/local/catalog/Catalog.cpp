// Which catalog a store has: SQLite when store.ini names no connection
// string, PostgreSQL when it does.

#include "platform/local/catalog/CatalogBackend.h"

#include "platform/local/Config.h"

namespace localplatform {

std::unique_ptr<CatalogBackend> openCatalog(const CatalogPlace& place, Access access) {
    if (place.connection.empty()) return openSqliteCatalog(place, access);
    return openPostgresCatalog(place, access);
}

std::vector<std::string> rebuildCatalog(const CatalogPlace& place, const CatalogFill& fill) {
    if (place.connection.empty()) return rebuildSqliteCatalog(place, fill);
    return rebuildPostgresCatalog(place, fill);
}

std::unique_ptr<JobLiveness> openLiveness(const CatalogPlace& place) {
    if (place.connection.empty()) return openFileLiveness(place);
    return openPostgresLiveness(place);
}

}  // namespace localplatform
