// The process's context: the open store, its configuration and log sink, the
// current job and the step count of the crash hook; opening and closing the
// store.

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
#include "platform/local/process/StorePlace.h"
#include "platform/local/storage/PosixStorage.h"
#include "platform/local/store/Store.h"

namespace localplatform {

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

std::shared_ptr<Store>& storeBesideOnThisThread() {
    thread_local std::shared_ptr<Store> beside;
    return beside;
}

std::shared_ptr<Store> openedStore() {
    if (const std::shared_ptr<Store>& beside = storeBesideOnThisThread()) return beside;
    std::shared_ptr<Store> store = context()->store;
    if (!store) throw StoreError(StoreError::Kind::NotFound, "no store is open");
    return store;
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
    // What stays on this host goes beside the store when the store is a
    // folder here, else in the local directory its place names.
    const bool hostFolder = made->store->storage().capabilities().hostFolder;
    made->hostDirectory = made->store->directory();
    if (!hostFolder) {
        made->hostDirectory = place.hostDirectory;
        PosixStorage().makeParents(place.hostDirectory + "/logs");
    }
    if (config.logFile.empty() && !config.storeLogName.empty()) {
        std::string cleared;
        if (hostFolder) {
            made->log = storeLog(config, access, made->store->storage(), made->store->directory(),
                                 made->store->modes(), &cleared);
        } else {
            PosixStorage local;
            made->log =
                storeLog(config, access, local, place.hostDirectory, made->store->modes(), &cleared);
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
