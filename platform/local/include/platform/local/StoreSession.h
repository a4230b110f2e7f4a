#pragma once

// The store this process works on: opening and closing it, where it is, what
// it supports, and the configuration and job its platform calls use.
//
// Threads: openStore and closeStore must not run concurrently with other
// platform calls; everything else may be called from any thread.

#include <string>

#include "platform/local/Config.h"

namespace localplatform {

// Opens the store named by config.storeDir (else $PIPELINE_STORE, else the
// XDG default) by its canonical path and makes it, and config, what this
// process's platform calls use until closeStore; a store open before is
// closed first. ReadWrite with create=true creates the store when absent;
// ReadOnly never writes anything in the store but the log file that
// config.storeLogName asks for, in logs/. The log sink is built from config
// here: a log file that cannot be opened is an error (Unusable), but for a
// ReadOnly store's own log file, which is then done without.
// Throws StoreError, leaving no store open.
void openStore(const Config& config, Access access, bool create);
// Releases the open store: the locks of jobs this process began and did not
// end, and the log file. Writers still alive keep what they need.
void closeStore();
bool storeIsOpen();
// The open store's canonical directory. Throws StoreError(NotFound) when
// none is open.
std::string storeDirectory();
// The directory on this host that holds what the open store keeps here (its
// logs, the records of partial restore outputs): the store's directory, or
// for a store in object storage the local directory its logs are in, made
// when the store was opened. Throws StoreError(NotFound) when none is open.
std::string storeHostDirectory();
// The store directory a configuration names (Config::storeDir, else the
// environment's default), as given: neither made canonical nor opened.
std::string configuredStoreDirectory(const Config& config);
// What a store supports, by the kind of storage that holds it.
struct StoreCapabilities {
    // The store is a folder on this host, with room beside its files for
    // what a command keeps there while it works. False for a store in
    // object storage, whose storeHostDirectory holds what stays on this
    // host instead: its logs, partial restore outputs, a SQLite database's
    // copy while a backup reads it.
    bool hostFolder = true;
};
// What the store that config names (configuredStoreDirectory) supports,
// known from its name alone: nothing is opened, read or made, and no store
// need be open. A store this platform cannot open (object storage in a
// build without it) is told as what it would be. Thread-safe; throws
// nothing but std::bad_alloc.
StoreCapabilities storeCapabilities(const Config& config);

// The configuration of the open store (defaults when none is open).
Config configuration();
// The file the log lines go to now; empty when they go to stderr only.
std::string logFilePath();
// The job that EvEvent contexts made from now on belong to, and that
// createArchiveFile creates files for.
void setCurrentJob(unsigned long long jobId);

}  // namespace localplatform
