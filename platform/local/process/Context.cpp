// The process's context: the open store, its configuration and log sink, the
// current job and the step count of the crash hook; opening and closing the
// store.

#include <algorithm>
#include <cstdlib>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/local/StoreSession.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"
#include "platform/local/process/LogSink.h"
#include "platform/local/storage/FaultInjectingStorage.h"
#include "platform/local/storage/PosixStorage.h"
#ifdef PIPELINESETUP_OBJECT_STORE
#include "platform/local/storage/ObjectStorage.h"
#endif
#include "platform/local/store/Store.h"

namespace localplatform {

std::string environmentCatalog();

namespace {

std::shared_ptr<Context> makeDefault() {
    auto made = std::make_shared<Context>();
    made->log = std::make_shared<const LogSink>(made->config);
    return made;
}

// The sink for the store's own log file, logs/<name>.log, the directory made
// when absent. A ReadOnly store that cannot take it goes without a file.
// With config.clearUnusablePlaces, what stands where the file belongs and is
// no regular file is cleared first, and *cleared says so.
std::shared_ptr<const LogSink> storeLog(const Config& config, Access access, Storage& storage,
                                        const std::string& storeDir, const FileModes& modes,
                                        std::string* cleared) {
    const std::string& name = config.storeLogName;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        throw StoreError(StoreError::Kind::Unusable, "unusable log name \"" + name + "\"");
    }
    const std::string directory = storeDir + "/logs";
    try {
        if (!storage.makeDirectory(directory, modes)) {
            throw std::runtime_error("cannot create the log directory " + directory + ": " +
                                     std::strerror(errno));
        }
        EntryStatus place;
        if (storage.status(directory, &place) && place.kind != EntryStatus::Kind::Directory) {
            throw std::runtime_error("the log directory " + directory + " is " +
                                     describeKind(place.kind) + ", not a directory; refused");
        }
        // Made here first, so that the log has the store's modes; opened
        // through the store's storage, so that a link in the place of logs/
        // or of the file is never followed, nor a FIFO waited on.
        const std::string path = directory + "/" + name + ".log";
        if (config.clearUnusablePlaces && access == Access::ReadWrite) {
            *cleared = clearPlace(storage, path, EntryStatus::Kind::Regular);
        }
        storage.createExclusive(path, modes);
        std::unique_ptr<StorageFile> file = storage.openForAppending(path, modes);
        if (!file) {
            EntryStatus status;
            const bool special = storage.status(path, &status) &&
                                 status.kind != EntryStatus::Kind::Regular;
            throw std::runtime_error(
                special ? "the log file " + path + " is " + describeKind(status.kind) +
                              ", not a regular file"
                        : "cannot open the log file " + path + ": " + std::strerror(errno));
        }
        return std::make_shared<const LogSink>(config, std::move(file));
    } catch (const std::exception& error) {
        if (access == Access::ReadOnly) {
            return std::make_shared<const LogSink>(LogSink::stderrCopyOnly(config));
        }
        throw StoreError(StoreError::Kind::Unusable, error.what());
    }
}

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

// Where the store is and what holds its bytes.
struct StorePlace {
    std::shared_ptr<Storage> storage;
    std::string dir;
    // For a store in object storage: the local directory that holds its
    // logs/ (logs stay on the host that wrote them).
    std::string localLogBase;
};

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

StorePlace configuredPlace(const Config& config) {
    const std::string dir = configuredStoreDirectory(config);
    if (!namesObjectStore(dir)) {
        return {configuredStorage(config, std::make_shared<PosixStorage>()), dir, ""};
    }
#ifdef PIPELINESETUP_OBJECT_STORE
    return objectStorePlace(config, dir);
#else
    throw StoreError(StoreError::Kind::Unusable,
                     "this platform was built without libcurl: no store in object storage");
#endif
}

std::mutex g_mutex;
std::shared_ptr<Context>& current() {
    static std::shared_ptr<Context> instance = makeDefault();
    return instance;
}

}  // namespace

std::shared_ptr<Context> context() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return current();
}

std::shared_ptr<Store> openedStore() {
    std::shared_ptr<Store> store = context()->store;
    if (!store) throw StoreError(StoreError::Kind::NotFound, "no store is open");
    return store;
}

// $PIPELINE_CATALOG: the catalog for stores made without one in the
// configuration.
std::string environmentCatalog() {
    const char* catalog = std::getenv("PIPELINE_CATALOG");
    return catalog ? catalog : "";
}

void openStore(const Config& config, Access access, bool create) {
    closeStore();
    auto made = std::make_shared<Context>();
    made->config = config;
    made->currentJob = config.jobId;
    try {
        made->log = std::make_shared<const LogSink>(config);
    } catch (const std::exception& error) {
        throw StoreError(StoreError::Kind::Unusable, error.what());
    }
    const StorePlace place = configuredPlace(config);
    made->store = Store::open(place.storage, place.dir, access, create, config.catalog,
                              environmentCatalog(), config.shareGroup, config.clearUnusablePlaces);
    made->hostDirectory = made->store->directory();
    if (!place.localLogBase.empty()) {
        made->hostDirectory = place.localLogBase;
        PosixStorage().makeParents(place.localLogBase + "/logs");
    }
    if (config.logFile.empty() && !config.storeLogName.empty()) {
        std::string cleared;
        if (place.localLogBase.empty()) {
            made->log = storeLog(config, access, made->store->storage(), made->store->directory(),
                                 made->store->modes(), &cleared);
        } else {
            PosixStorage local;
            made->log =
                storeLog(config, access, local, place.localLogBase, made->store->modes(), &cleared);
        }
        if (!cleared.empty()) made->store->noteCleared(std::move(cleared));
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    current() = std::move(made);
}

void closeStore() {
    auto replacement = makeDefault();
    std::shared_ptr<Context> old;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        old = std::move(current());
        current() = std::move(replacement);
    }
    if (old && old->store) old->store->releaseJobs();
}

bool storeIsOpen() { return context()->store != nullptr; }

std::string storeDirectory() { return openedStore()->directory(); }

bool namesObjectStore(const std::string& store) { return store.rfind("s3://", 0) == 0; }

std::string storeHostDirectory() {
    const auto current = context();
    if (!current->store) throw StoreError(StoreError::Kind::NotFound, "no store is open");
    return current->hostDirectory;
}

Config configuration() { return context()->config; }

std::string logFilePath() { return context()->log->path(); }

void setCurrentJob(unsigned long long jobId) { context()->currentJob = jobId; }

void writeLogLine(bool isError, int level, unsigned long long jobId, const std::string& text) {
    context()->log->write(isError, level, jobId, text);
}

void platformError(const std::string& text) {
    const auto now = context();
    now->log->write(true, 0, now->currentJob, "local platform: " + text);
}

void platformDebug(const std::string& text) {
    const auto now = context();
    now->log->write(false, 1, now->currentJob, "local platform: " + text);
}

}  // namespace localplatform
