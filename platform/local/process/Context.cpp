// The process's context: the open store, its configuration and log sink, the
// current job and the step count of the crash hook.

#include <signal.h>
#include <unistd.h>
#include <cstdlib>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <memory>
#include <map>
#include <mutex>
#include <string_view>

#include "platform/FsrMessages.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"
#include "platform/local/process/LogSink.h"
#include "platform/local/storage/FaultInjectingStorage.h"
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
std::shared_ptr<const LogSink> storeLog(const Config& config, Access access, Storage& storage,
                                        const std::string& storeDir, const FileModes& modes) {
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

// The store's bytes: on the file system, through a fault storage when the
// configuration has a fault plan.
std::shared_ptr<Storage> configuredStorage(const Config& config) {
    auto posix = std::make_shared<PosixStorage>();
    if (config.storageFaults.empty()) return posix;
    std::vector<FaultRule> rules;
    std::string why;
    if (!parseFaultPlan(config.storageFaults, &rules, &why)) {
        throw StoreError(StoreError::Kind::Unusable, why);
    }
    return std::make_shared<FaultInjectingStorage>(posix, std::move(rules));
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
    made->store = Store::open(configuredStorage(config), configuredStoreDirectory(config), access,
                              create, config.catalog, environmentCatalog(), config.shareGroup);
    if (config.logFile.empty() && !config.storeLogName.empty()) {
        made->log = storeLog(config, access, made->store->storage(), made->store->directory(),
                             made->store->modes());
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

Config configuration() { return context()->config; }

std::string logFilePath() { return context()->log->path(); }

void setCurrentJob(unsigned long long jobId) { context()->currentJob = jobId; }

namespace {

std::atomic<std::shared_ptr<const StepEventObserver>>& stepObserver() {
    static std::atomic<std::shared_ptr<const StepEventObserver>> observer;
    return observer;
}

}  // namespace

void setStepEventObserver(StepEventObserver observer) {
    stepObserver().store(observer ? std::make_shared<const StepEventObserver>(std::move(observer))
                                  : nullptr);
}

void setStepObserver(StepObserver observer) {
    if (!observer) return setStepEventObserver({});
    setStepEventObserver([named = std::move(observer)](const StepEvent& event) {
        named(event.name, event.detail);
    });
}

void crashPoint(const char* step, unsigned long detail) {
    crashPoint(StepEvent{stepKindOf(step, detail), 0, step, detail});
}

StepKind stepKindOf(const char* step, unsigned long detail) {
    if (step == nullptr) return StepKind::Other;
    static const std::map<std::string_view, StepKind> kinds = {
        {"QISLEEP", StepKind::Pause},
        {"closeAfile", StepKind::ArchiveFileClosed},
        {"invalidateArchFilesByJob", StepKind::ArchiveFilesInvalidated},
        {"openArchiveFile", StepKind::ArchiveFileOpened},
    };
    if (std::string_view(step) == "SendXDRMessage") {
        return detail == FSR_MSG_SEEK_TO_OFFSET  ? StepKind::SeekSent
               : detail == FSR_MSG_CLOSE_ARCHIVE ? StepKind::CloseArchiveSent
                                                 : StepKind::Other;
    }
    const auto found = kinds.find(step);
    return found == kinds.end() ? StepKind::Other : found->second;
}

void crashPoint(const StepEvent& event) {
    const char* const step = event.name;
    if (const auto observer = stepObserver().load()) (*observer)(event);
    const auto now = context();
    const unsigned long killAt = now->config.killAtStep;
    const unsigned long signalAt = now->config.signalAtStep;
    if (killAt == 0 && signalAt == 0) return;
    const unsigned long reached = ++now->steps;
    if (reached == killAt) {
        writeLogLine(true, 0, now->currentJob,
                     formatText("local platform: killed at step %lu (%s)", killAt,
                                step ? step : "?"));
        ::raise(SIGKILL);
    }
    if (reached == signalAt) {
        writeLogLine(true, 0, now->currentJob,
                     formatText("local platform: SIGTERM at step %lu (%s)", signalAt,
                                step ? step : "?"));
        // The program takes the signal on a thread of its own; the step
        // goes on once it has asked the platform to stop, as if the signal
        // had come just before this step.
        ::kill(::getpid(), SIGTERM);
        waitUnlessInterrupted(std::chrono::seconds(10));
    }
}

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
