#pragma once

#include <string>
#include <vector>

#include "keys/JobKeys.h"
#include "platform/local/Config.h"
#include "report/JsonReport.h"
#include "wal/RecoveryTarget.h"

struct ClusterRestoreOptions {
    unsigned long long job = 0;  // 0: the newest base backup that can reach the target
    std::string output;          // becomes the data directory: new or empty
    RecoveryTargetOptions target;
    std::vector<std::string> tablespaceMappings;  // OLD=NEW, one per tablespace
    KeySource key;
    uint64_t rateLimit = 0;  // the base backup's restore: bytes a second; 0: none
};

// Restores a native PostgreSQL base backup (backup --postgres) so that a
// server started on options.output recovers to the target from the store's
// WAL archive: the data directory's files go into output itself (made 0700
// when absent; each tablespace where its --tablespace-mapping says, linked
// from pg_tblspc/), with the backup's backup_label,
// recovery.signal, and the recovery settings (restore_command: this agent's
// wal-fetch on this store; the target; the action) appended to
// postgresql.auto.conf. Without a job, the newest backup that ended before
// the target (and can reach it) is taken. A target the archive does not
// cover (before the backup ended, past the newest reachable WAL, or beyond
// a gap) is refused before anything is written. Throws AgentError: bad input
// for what is refused, a failed job when the restore fails (output then
// holds no data directory: what it held of one is removed).
void runClusterRestore(const ClusterRestoreOptions& options, localplatform::Config config,
                       JsonReport& json);

// Whether job jobId of the store config names is a native PostgreSQL base
// backup, which a restore takes through runClusterRestore. Opens the store
// read-only and closes it again; false when it has no such job. Throws AgentError as
// openStoreFor does.
bool isClusterBackup(const localplatform::Config& config, unsigned long long jobId);
