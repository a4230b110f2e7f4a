#pragma once

#include "jobs/backup/BackupJob.h"
#include "jobs/backup/BackupSet.h"
#include "platform/local/LocalPlatform.h"

// Whether the store that config names has a folder on this host for what a
// directory store keeps beside its files: a SQLite snapshot while it is
// read, the store key's check value. A store in object storage has none.
// Looks at the configuration only; opens nothing. Any thread.
bool storeHasHostFolder(const localplatform::Config& config);

// Refuses what the store cannot take when it has no host folder
// (hostFolder false): --encrypt, and a SQLite database named directly
// unless options.raw (its snapshot would have no place). Throws AgentError
// (bad input) with one line naming the store or the database; leaves
// nothing behind. Anything goes in a store with a host folder. Any thread.
void checkStoreRules(const BackupOptions& options, const BackupSet& set, bool hostFolder);
