#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/WalArchive.h"
#include "wal/RecoveryTarget.h"
#include "wal/WalCoverage.h"

// How far a restore of one base backup can go with the WAL the archive
// holds: from the moment the backup ended (the cluster is consistent there)
// to the newest segment reachable from its start without a gap.
struct BackupReach {
    const ArchivedBaseBackup* backup = nullptr;
    WalContinuity continuity;
    std::string earliest;  // the backup's end, the server's clock, UTC
    // When the newest reachable segment was archived (its job's start, UTC):
    // WAL written after this moment is surely not reachable; a moment before
    // it is, unless it lies in that segment's last stretch.
    std::string latest;
    uint64_t latestLsn = 0;  // the end of the newest reachable segment
};

// The archive's coverage: the WAL files, their timelines and histories.
WalCoverage coverageOf(const WalArchive& archive);

// What each complete base backup can reach, oldest backup first, toward
// targetTimeline (nothing: the latest). Pure; borrows archive.
std::vector<BackupReach> reachOf(const WalArchive& archive, const WalCoverage& coverage,
                                 std::optional<uint32_t> targetTimeline = std::nullopt);

// A time of the server's clock or of the store's records ("...Z", ISO
// 8601), in microseconds since the epoch; nothing when it is not one.
std::optional<int64_t> utcMicros(const std::string& text);

// Why a restore of reach's backup cannot reach target; empty when it can:
// the WAL from the backup's start has a gap, or the target (a time or a
// location) lies before the backup's end or past the newest WAL it reaches.
// Other targets (a transaction, a name, latest) are found only by replay.
std::string reachRefusal(const BackupReach& reach, const RecoveryTarget& target);

// The backup a restore to target takes: job (when not 0), or the newest
// backup whose reach takes it. Throws AgentError (bad input) with the reason
// when there is none: job is no base backup of the store, or it cannot reach
// target (reachRefusal), or no backup can (the newest one's reason).
const BackupReach& chooseBackup(const std::vector<BackupReach>& reaches, unsigned long long job,
                                const RecoveryTarget& target);
