#include "jobs/backup/BackupKeys.h"

#include "base/AgentError.h"

std::optional<UserKey> readBackupKey(const BackupOptions& options) {
    if (!options.encrypt && !options.key.keyFile.empty()) {
        throw badInput("--key-file is for --encrypt");
    }
    std::optional<UserKey> userKey;
    if (options.encrypt) userKey.emplace(readUserKey(options.key, "an encrypted backup"));
    return userKey;
}

BackupKeys settleBackupKeys(const BackupOptions& options, unsigned long long jobId,
                            const std::optional<UserKey>& userKey) {
    BackupKeys keys;
    if (options.encrypt || options.compress.codec != Codec::None) {
        keys.stages.emplace();
        keys.stages->codec = options.compress.codec;
        keys.stages->level = options.compress.level;
        keys.stages->jobId = jobId;
    }
    if (options.encrypt) {
        const StoreKeyring ring = openStoreKey(
            *userKey, options.lowestKdf ? KdfLimits::testOnlyLowest() : KdfLimits::moderate());
        keys.stages->key = newDataKey();
        keys.wrappedKey = wrapDataKey(*keys.stages->key, ring.key, ring.recipe, jobId).toText();
    }
    return keys;
}
