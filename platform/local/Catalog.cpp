// Which catalog a store has: SQLite when store.ini names no connection
// string, PostgreSQL when it does.

#include "platform/local/CatalogBackend.h"

namespace localplatform {

std::unique_ptr<CatalogBackend> openCatalog(const CatalogPlace& place, Access access) {
    if (place.connection.empty()) return openSqliteCatalog(place.storeDir, access);
    return openPostgresCatalog(place, access);
}

std::vector<std::string> setCatalogAside(const CatalogPlace& place) {
    if (place.connection.empty()) return setSqliteCatalogAside(place.storeDir);
    return setPostgresCatalogAside(place);
}

std::unique_ptr<JobLiveness> openLiveness(const CatalogPlace& place) {
    if (place.connection.empty()) return openFileLiveness(place.storeDir);
    return openPostgresLiveness(place);
}

}  // namespace localplatform
