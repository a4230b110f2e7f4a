// A second store opened for reading, and the scopes in which a thread's
// platform calls work on it.

#include "platform/local/StoreBeside.h"

#include <utility>

#include "platform/local/StoreSession.h"
#include "platform/local/process/Context.h"
#include "platform/local/process/StorePlace.h"
#include "platform/local/store/Store.h"

namespace localplatform {

StoreBeside::StoreBeside(const Config& config) {
    const StorePlace place = configuredPlace(config);
    std::shared_ptr<Store> store =
        Store::open(place.storage, place.dir, Access::ReadOnly, false, config.catalog,
                    environmentCatalog(), config.shareGroup, false);
    m_directory = store->directory();
    m_store = std::move(store);
}

StoreBeside::~StoreBeside() = default;

StoreBeside::Scope::Scope(const StoreBeside& store)
    : m_before(std::exchange(storeBesideOnThisThread(),
                             std::static_pointer_cast<Store>(store.m_store))) {}

StoreBeside::Scope::~Scope() {
    storeBesideOnThisThread() = std::static_pointer_cast<Store>(std::move(m_before));
}

}  // namespace localplatform
