// Where a configuration's store is, and the storage that holds its bytes.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/local/StoreSession.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/process/StorePlace.h"
#include "platform/local/storage/FaultInjectingStorage.h"
#include "platform/local/storage/ObjectStorage.h"
#include "platform/local/storage/PosixStorage.h"

namespace localplatform {

namespace {

// The store's bytes: base, through a fault storage when the configuration
// has a fault plan.
std::shared_ptr<Storage> configuredStorage(const Config& config,
                                           std::shared_ptr<Storage> base) {
    if (config.storageFaults.empty()) return base;
    std::vector<FaultRule> rules;
    std::string why;
    if (!parseFaultPlan(config.storageFaults, &rules, &why)) {
        throw StoreError(StoreError::Kind::Unusable, why);
    }
    return std::make_shared<FaultInjectingStorage>(base, std::move(rules));
}

#ifdef PIPELINESETUP_OBJECT_STORE
// The environment's value of name, or empty.
std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A store in object storage: its catalog must be in PostgreSQL, named now
// or recorded by its store.ini, which is looked at before anything is made.
StorePlace objectStorePlace(const Config& config, const std::string& url) {
    ObjectStoreSettings settings;
    std::string why;
    if (!parseObjectStoreUrl(url, &settings, &why)) {
        throw StoreError(StoreError::Kind::Unusable, why);
    }
    // The media timeout bounds connecting and every wait for bytes.
    const auto timeout = std::max(config.mediaTimeout, std::chrono::milliseconds(1000));
    settings.s3.timeouts.connect = std::min(settings.s3.timeouts.connect, timeout);
    settings.s3.timeouts.idle = std::chrono::duration_cast<std::chrono::seconds>(
        timeout + std::chrono::milliseconds(999));
    // When asked, a store silent for that long is taken as gone, not asked
    // again and again.
    settings.s3.retry.retryUnanswered = !config.giveUpOnSilentStore;
    auto objects = std::make_shared<ObjectStorage>(
        settings, [](const std::string& line) { platformError(line); });
    const std::string root = settings.root();
    std::string identity;
    if (objects->readSmallFile(root + "/store.ini", 64 * 1024, &identity)) {
        if (identity.find("\ncatalog=") == std::string::npos) {
            throw StoreError(StoreError::Kind::Unusable,
                             "the store " + root + " records no PostgreSQL catalog");
        }
    } else if (errno != ENOENT) {
        throw StoreError(StoreError::Kind::Unusable,
                         "cannot read the store " + root + "/store.ini: " + std::strerror(errno));
    } else if (config.catalog.empty() && environmentCatalog().empty()) {
        throw StoreError(StoreError::Kind::Unusable,
                         "a store in object storage keeps its catalog in PostgreSQL: name one "
                         "with --catalog or $PIPELINE_CATALOG");
    }
    std::string state = variable("XDG_STATE_HOME");
    if (state.empty()) state = variable("HOME") + "/.local/state";
    return {configuredStorage(config, objects), root,
            state + "/pipelinesetup/s3/" + settings.bucket +
                (settings.prefix.empty() ? "" : "/" + settings.prefix.substr(0, settings.prefix.size() - 1))};
}
#endif

}  // namespace

StorageKind storageKindOf(const std::string& store) {
    return store.rfind("s3://", 0) == 0 ? StorageKind::Object : StorageKind::Posix;
}

StorageCapabilities capabilitiesOf(StorageKind kind) {
    return kind == StorageKind::Object ? ObjectStorage::kCapabilities : PosixStorage::kCapabilities;
}

StorePlace configuredPlace(const Config& config) {
    const std::string dir = configuredStoreDirectory(config);
    if (storageKindOf(dir) == StorageKind::Posix) {
        return {configuredStorage(config, std::make_shared<PosixStorage>()), dir, ""};
    }
#ifdef PIPELINESETUP_OBJECT_STORE
    return objectStorePlace(config, dir);
#else
    throw StoreError(StoreError::Kind::Unusable,
                     "this platform was built without libcurl: no store in object storage");
#endif
}

std::string environmentCatalog() {
    const char* catalog = std::getenv("PIPELINE_CATALOG");
    return catalog ? catalog : "";
}

StoreCapabilities storeCapabilities(const Config& config) {
    const StorageCapabilities storage =
        capabilitiesOf(storageKindOf(configuredStoreDirectory(config)));
    StoreCapabilities capabilities;
    capabilities.hostFolder = storage.hostFolder;
    return capabilities;
}

}  // namespace localplatform
