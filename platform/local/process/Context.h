#pragma once

// The process's context: the open store, its configuration and log sink, the
// current job and the step count of the crash hook. Internal to the local
// library; not installed.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "platform/local/Config.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class LogSink;
class Store;

// Everything a platform call needs to know about its process: made by
// openStore, replaced by closeStore with one that has no store, stderr for a
// log and the default configuration.
struct Context {
    Config config;
    std::shared_ptr<const LogSink> log;
    std::shared_ptr<Store> store;  // null when no store is open
    // What of the open store stays on this host (its logs, the records of
    // partial restore outputs): the store's directory, or for a store in
    // object storage a directory of its own under $XDG_STATE_HOME.
    std::string hostDirectory;
    std::atomic<unsigned long long> currentJob{0};
    std::atomic<unsigned long> steps{0};  // crashPoint calls so far
};

// The process's context: the only process-wide state of the platform. The
// seams that the platform's declarations force (EvEvent, the archive objects'
// constructors, QISLEEP, ...) reach the open store through it. Never null.
std::shared_ptr<Context> context();
// The open store, or the store beside it that a StoreBeside::Scope of the
// calling thread names. Throws StoreError(NotFound) when none is open.
std::shared_ptr<Store> openedStore();
// The store beside the open one that the calling thread's calls work on
// (StoreBeside::Scope); null: the open store.
std::shared_ptr<Store>& storeBesideOnThisThread();

// Waits until interrupt() or the time has passed; true when interrupted.
bool waitUnlessInterrupted(std::chrono::milliseconds duration);

// The settings file the configuration resolves to.
std::string settingsFilePath();

}  // namespace localplatform

#pragma GCC visibility pop
