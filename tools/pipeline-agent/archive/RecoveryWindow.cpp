#include "archive/RecoveryWindow.h"

#include "wal/RecoveryTime.h"
#include "wal/TimelineHistory.h"
#include "wal/WalFileName.h"

WalCoverage coverageOf(const WalArchive& archive) {
    std::vector<std::string> names;
    for (const auto& [name, file] : archive.files) names.push_back(name);
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
            if (found != archive.files.end()) reach.latest = found->second.archivedAt;
            reach.latestLsn = segmentStartLsn(walSegmentOf(*last, size).segno + 1, size);
        }
        reaches.push_back(std::move(reach));
    }
    return reaches;
}
