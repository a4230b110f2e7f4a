#pragma once

#include "jobs/backup/BackupJob.h"
#include "jobs/backup/BackupSet.h"
#include "platform/local/StoreSession.h"

// Refuses what a store without a folder on this host (hostFolder false; see
// localplatform::StoreCapabilities) cannot take: --encrypt, whose key check
// value is kept there, and a SQLite database named directly unless
// options.raw or in WAL mode (read where it lies), whose copy would have no
// place while it is read. Throws
// AgentError (bad input) with one line naming the store or the database;
// leaves nothing behind. Anything goes in a store with a host folder. Any
// thread.
void checkStoreRules(const BackupOptions& options, const BackupSet& set, bool hostFolder);
