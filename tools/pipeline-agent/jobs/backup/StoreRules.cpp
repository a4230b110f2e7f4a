#include "jobs/backup/StoreRules.h"

#include "base/AgentError.h"

void checkStoreRules(const BackupOptions& options, const BackupSet& set, bool hostFolder) {
    if (hostFolder) return;
    if (options.encrypt) {
        throw badInput("--encrypt needs a store in a directory; " + set.store +
                       " is in object storage");
    }
    // A database in WAL mode is read where it lies; any other is copied
    // into the store's tmp/.
    for (std::size_t i = 0; i < set.inputs.size() && !options.raw; ++i) {
        if (!set.inputs[i]->sqliteDatabase() || set.inputs[i]->sqliteWalMode()) continue;
        throw badInput(set.files[i] +
                       " is a SQLite database, backed up through a snapshot that a store "
                       "in object storage has no place for; back it up into a store in a "
                       "directory, give --raw while no one writes to it, or put it in WAL "
                       "mode, in which it is read where it lies");
    }
}
