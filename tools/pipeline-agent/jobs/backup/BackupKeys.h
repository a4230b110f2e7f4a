#pragma once

#include <optional>
#include <string>

#include "jobs/backup/BackupJob.h"
#include "keys/JobKeys.h"
#include "stages/JobStages.h"

// What a backup's bytes go through, settled before the job begins.
struct BackupKeys {
    std::optional<JobStages> stages;  // none: stored as read
    std::string wrappedKey;           // an encrypted job's data key, wrapped; else empty
};

// The user's key of an encrypted backup, read and checked before the store
// is opened or made, so that a refused one leaves nothing behind; none
// without --encrypt. Throws AgentError (bad input) with one line for
// --key-file without --encrypt, or a key that cannot be had (readUserKey).
// The job's thread (a passphrase may be asked on the terminal).
std::optional<UserKey> readBackupKey(const BackupOptions& options);

// The stages of job jobId: with compression or encryption, its codec and
// level; encrypted, a new data key of its own, wrapped under the open
// store's key (openStoreKey: the first encrypted backup writes the store's
// key check, a later one must match it). A wrong key throws AgentError (bad
// input) before the job begins. Neither: no stages. Needs the store open
// when encrypted (userKey given). The job's thread.
BackupKeys settleBackupKeys(const BackupOptions& options, unsigned long long jobId,
                            const std::optional<UserKey>& userKey);
