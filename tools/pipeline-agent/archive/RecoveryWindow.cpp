#include "archive/RecoveryWindow.h"

#include "base/AgentError.h"
#include "wal/RecoveryTime.h"
#include "wal/TimelineHistory.h"
#include "wal/WalFileName.h"

WalCoverage coverageOf(const WalArchive& archive) {
    std::vector<std::string> names;
    for (const auto& [name, file] : archive.files) names.push_back(name);
    // A backup with its WAL in its own job brings its segments along.
    for (const ArchivedBaseBackup& backup : archive.backups) {
        if (!backup.cluster.withWal) continue;
        const WalSegmentSize size(backup.cluster.segmentSize);
        for (std::string name = backup.cluster.startWal;; name = nextWalSegmentName(name, size)) {
            names.push_back(name);
            if (name >= backup.cluster.stopWal) break;
        }
    }
    std::vector<TimelineHistory> histories;
    for (const auto& [name, text] : archive.histories) {
        const std::optional<WalFileName> parsed = parseWalFileName(name);
        if (parsed && parsed->kind == WalFileKind::TimelineHistory) {
            histories.push_back(parseTimelineHistory(parsed->timeline, text));
        }
    }
    const uint64_t size =
        archive.segmentSize != 0 ? archive.segmentSize : WalSegmentSize::kDefaultBytes;
    return WalCoverage(names, std::move(histories), WalSegmentSize(size));
}

std::optional<int64_t> utcMicros(const std::string& text) {
    // Zoned, so the local zone never applies.
    return parseRecoveryTime(text, [](const CivilTime&) -> int64_t { return 0; });
}

std::vector<BackupReach> reachOf(const WalArchive& archive, const WalCoverage& coverage,
                                 std::optional<uint32_t> targetTimeline) {
    std::vector<BackupReach> reaches;
    for (const ArchivedBaseBackup& backup : archive.backups) {
        BackupReach reach;
        reach.backup = &backup;
        reach.earliest = backup.cluster.stoppedAt;
        const WalSegmentSize size(backup.cluster.segmentSize);
        const std::optional<WalFileName> start = parseWalFileName(backup.cluster.startWal);
        if (!start) continue;
        reach.continuity = coverage.continuity(walSegmentOf(*start, size), targetTimeline);
        const std::optional<WalFileName> last = parseWalFileName(reach.continuity.lastReachable);
        if (last) {
            const auto found = archive.files.find(reach.continuity.lastReachable);
            reach.latest = found != archive.files.end() ? found->second.archivedAt
                                                        : backup.cluster.stoppedAt;
            reach.latestLsn = segmentStartLsn(walSegmentOf(*last, size).segno + 1, size);
        }
        reaches.push_back(std::move(reach));
    }
    return reaches;
}

std::string reachRefusal(const BackupReach& reach, const RecoveryTarget& target) {
    const ManifestCluster& cluster = reach.backup->cluster;
    const std::string job = "job " + std::to_string(reach.backup->jobId);
    if (!reach.continuity.complete) {
        return "the archive cannot take " + job + " on: " + reach.continuity.problem;
    }
    if (target.kind == RecoveryTargetKind::Time) {
        const std::optional<int64_t> ended = utcMicros(cluster.stoppedAt);
        const std::optional<int64_t> latest = utcMicros(reach.latest);
        if (ended && target.timeMicros < *ended) {
            return target.text + " is before " + job + " ended (" + cluster.stoppedAt + ")";
        }
        if (latest && target.timeMicros > *latest) {
            return target.text + " is past the newest WAL the archive holds for " + job + " (" +
                   reach.continuity.lastReachable + ", archived " + reach.latest + ")";
        }
    }
    if (target.kind == RecoveryTargetKind::Lsn) {
        if (target.lsn < parseLsn(cluster.stopLsn).value_or(0)) {
            return target.text + " is before " + job + " ended (" + cluster.stopLsn + ")";
        }
        if (target.lsn > reach.latestLsn) {
            return target.text + " is past the newest WAL the archive holds for " + job + " (" +
                   formatLsn(reach.latestLsn) + ")";
        }
    }
    return "";
}

const BackupReach& chooseBackup(const std::vector<BackupReach>& reaches, unsigned long long job,
                                const RecoveryTarget& target) {
    if (job != 0) {
        for (const BackupReach& reach : reaches) {
            if (reach.backup->jobId != job) continue;
            const std::string why = reachRefusal(reach, target);
            if (!why.empty()) throw badInput(why);
            return reach;
        }
        throw badInput("job " + std::to_string(job) +
                       " is no complete native PostgreSQL base backup (backup --postgres) of "
                       "this store");
    }
    // Newest first. When none can, the oldest one's reason: a target too
    // early for every backup is too early for it above all.
    std::string why = "the store holds no complete native PostgreSQL base backup";
    for (auto each = reaches.rbegin(); each != reaches.rend(); ++each) {
        why = reachRefusal(*each, target);
        if (why.empty()) return *each;
    }
    throw badInput(why);
}

