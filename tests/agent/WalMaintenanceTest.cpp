// What maintenance makes of a store's WAL archive, on archives made up here:
// the rows and lines of list --wal and its recoverable window, the gaps
// check names, which WAL jobs expire removes once the kept base backups are
// known, and the WAL jobs delete refuses.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "archive/RecoveryWindow.h"
#include "archive/WalArchive.h"
#include "maintenance/JobDeletion.h"
#include "maintenance/Retention.h"
#include "maintenance/WalGaps.h"
#include "maintenance/WalListing.h"
#include "wal/TimelineHistory.h"
#include "wal/WalFileName.h"

namespace {

constexpr std::uint64_t kSegmentBytes = 16 * 1024 * 1024;
const WalSegmentSize k16MiB(kSegmentBytes);

std::string seg(std::uint32_t timeline, std::uint64_t segno) {
    return walSegmentName({timeline, segno}, k16MiB);
}

// A store's archive as readWalArchive would read it, built job by job.
class MadeUpArchive {
public:
    MadeUpArchive() {
        m_archive.systemIdentifier = "7717247226639393324";
        m_archive.segmentSize = kSegmentBytes;
    }

    // A wal-push job holding the segments first..last of timeline.
    MadeUpArchive& segments(unsigned long long job, std::uint32_t timeline, std::uint64_t first,
                            std::uint64_t last, const std::string& archivedAt) {
        std::vector<std::string> names;
        for (std::uint64_t segno = first; segno <= last; ++segno) names.push_back(seg(timeline, segno));
        return files(job, names, archivedAt);
    }

    // A wal-push job holding these files, by name.
    MadeUpArchive& files(unsigned long long job, const std::vector<std::string>& names,
                         const std::string& archivedAt) {
        for (const std::string& name : names) {
            m_archive.files.emplace(name, ArchivedWal{name, job, kSegmentBytes, "", archivedAt});
            m_archive.walJobs[job].push_back(name);
        }
        return *this;
    }

    // A wal-push job holding the history file of timeline.
    MadeUpArchive& history(unsigned long long job, std::uint32_t timeline, const std::string& text) {
        const std::string name = timelineHistoryName(timeline);
        m_archive.histories[name] = text;
        return files(job, {name}, "2026-05-01T09:00:00Z");
    }

    // A base backup from segment start to stop on timeline, ended at endedAt.
    MadeUpArchive& backup(unsigned long long job, std::uint32_t timeline, std::uint64_t start,
                          std::uint64_t stop, const std::string& endedAt) {
        ManifestCluster cluster;
        cluster.systemIdentifier = m_archive.systemIdentifier;
        cluster.timeline = timeline;
        cluster.segmentSize = kSegmentBytes;
        cluster.startWal = seg(timeline, start);
        cluster.stopWal = seg(timeline, stop);
        cluster.startLsn = formatLsn(segmentStartLsn(start, k16MiB) + 0x28);
        cluster.stopLsn = formatLsn(segmentStartLsn(stop, k16MiB) + 0x100);
        cluster.stoppedAt = endedAt;
        m_archive.backups.push_back({job, cluster});
        return *this;
    }

    const WalArchive& archive() const { return m_archive; }

private:
    WalArchive m_archive;
};

// ---------------------------------------------------------------- list --wal

// Segments 1-5 and 8-9 of timeline 1: a backup from 2 stops at the gap, one
// from 8 reaches the newest segment.
MadeUpArchive gappedArchive() {
    MadeUpArchive made;
    made.segments(101, 1, 1, 3, "2026-05-01T10:00:00Z")
        .segments(102, 1, 4, 5, "2026-05-01T10:05:00Z")
        .segments(103, 1, 8, 9, "2026-05-01T10:10:00Z")
        .backup(201, 1, 2, 2, "2026-05-01T10:01:00Z")
        .backup(202, 1, 8, 8, "2026-05-01T10:09:30Z");
    return made;
}

TEST(WalListingTest, EachTimelineWithItsGapsThenEachBackupWithItsWindow) {
    const WalListing listing = walListingOf(gappedArchive().archive());
    EXPECT_EQ(listing.files, 7u);
    EXPECT_EQ(walListingLines(listing),
              (std::vector<std::string>{
                  "timeline 1: 000000010000000000000001 to 000000010000000000000009, 7 segments",
                  "  gap: 000000010000000000000006 to 000000010000000000000007 (2 segments) "
                  "missing",
                  "base backup job 201: WAL 000000010000000000000002 to "
                  "000000010000000000000002, ended 2026-05-01T10:01:00Z",
                  "  not recoverable: the archive lacks 000000010000000000000006, so recovery "
                  "from 000000010000000000000002 stops after 000000010000000000000005",
                  "base backup job 202: WAL 000000010000000000000008 to "
                  "000000010000000000000008, ended 2026-05-01T10:09:30Z",
                  "  recoverable from 2026-05-01T10:09:30Z to 2026-05-01T10:10:00Z",
                  "recoverable window: 2026-05-01T10:09:30Z to 2026-05-01T10:10:00Z"}));

    const nlohmann::ordered_json json = walListingJson(listing);
    EXPECT_EQ(json["files"], 7);
    EXPECT_EQ(json["timelines"][0]["gaps"],
              nlohmann::ordered_json::parse(
                  R"([{"firstMissing": "000000010000000000000006",
                       "lastMissing": "000000010000000000000007", "segments": 2}])"));
    // A backup that cannot get through has no window, only its problem.
    const auto& stopped = json["baseBackups"][0];
    EXPECT_EQ(stopped["jobId"], 201);
    EXPECT_TRUE(stopped["earliest"].is_null());
    EXPECT_TRUE(stopped["latest"].is_null());
    EXPECT_EQ(stopped["lastReachable"], "000000010000000000000005");
    EXPECT_EQ(stopped["problem"].get<std::string>().rfind("the archive lacks ", 0), 0u);
    const auto& through = json["baseBackups"][1];
    EXPECT_EQ(through["earliest"], "2026-05-01T10:09:30Z");
    EXPECT_EQ(through["latest"], "2026-05-01T10:10:00Z");
    EXPECT_TRUE(through["problem"].is_null());
    EXPECT_EQ(json["recoveryWindow"], nlohmann::ordered_json::parse(
                                          R"({"earliest": "2026-05-01T10:09:30Z",
                                              "latest": "2026-05-01T10:10:00Z"})"));
    // The field names in the order the documents give them.
    std::vector<std::string> keys;
    for (const auto& [key, value] : through.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"jobId", "startWal", "stopWal", "endedAt", "earliest",
                                              "latest", "lastReachable", "problem"}));
}

TEST(WalListingTest, TheWindowRunsFromTheEarliestEndToTheLatestReach) {
    MadeUpArchive made;
    // Ends of two forms, compared as moments: as text, "10:00:00.5Z" sorts
    // before "10:00:00Z".
    made.segments(101, 1, 1, 4, "2026-05-01T10:02:00Z")
        .segments(102, 1, 5, 9, "2026-05-01T10:10:00Z")
        .backup(201, 1, 2, 3, "2026-05-01T10:00:00.5Z")
        .backup(202, 1, 5, 6, "2026-05-01T10:00:00Z");
    const WalListing listing = walListingOf(made.archive());
    ASSERT_TRUE(listing.window);
    EXPECT_EQ(listing.window->earliest, "2026-05-01T10:00:00Z");
    EXPECT_EQ(listing.window->latest, "2026-05-01T10:10:00Z");
    EXPECT_TRUE(listing.timelines[0].gaps.empty());
    EXPECT_EQ(walListingLines(listing).back(),
              "recoverable window: 2026-05-01T10:00:00Z to 2026-05-01T10:10:00Z");
}

TEST(WalListingTest, NoBackupThatGetsThroughMeansNoWindow) {
    MadeUpArchive made;
    made.segments(101, 1, 3, 4, "2026-05-01T10:00:00Z").backup(201, 1, 2, 2, "2026-05-01T09:59:00Z");
    const WalListing listing = walListingOf(made.archive());
    EXPECT_FALSE(listing.window);
    EXPECT_TRUE(recoveryWindowJson(listing.window).is_null());
    const std::vector<std::string> lines = walListingLines(listing);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2],
              "  not recoverable: the archive lacks 000000010000000000000002, so recovery from "
              "000000010000000000000002 cannot begin");
    EXPECT_EQ(lines[3], "recoverable window: none");
}

// ---------------------------------------------------------------- check's gaps

TEST(WalGapsTest, OnlyGapsOnTheWayFromABaseBackupAreNamedEachOnce) {
    MadeUpArchive made;
    made.segments(101, 1, 1, 3, "2026-05-01T10:00:00Z")
        .segments(102, 1, 6, 9, "2026-05-01T10:05:00Z")
        .segments(103, 1, 12, 13, "2026-05-01T10:10:00Z")
        .backup(201, 1, 7, 7, "2026-05-01T10:06:00Z");
    // 4-5 lies before the only backup: nobody needs it.
    std::vector<WalGapFound> gaps = walGapsOf(made.archive());
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(walGapLine(gaps[0]),
              "WAL gap: 00000001000000000000000A to 00000001000000000000000B (2 segments) "
              "missing: base backups before it cannot be restored past it");
    EXPECT_EQ(gaps[0].backups, std::vector<unsigned long long>{201});

    // A backup whose own start is missing meets the whole gap it starts in,
    // and the later one too, which is named once for both backups.
    made.backup(202, 1, 5, 6, "2026-05-01T10:03:00Z");
    gaps = walGapsOf(made.archive());
    ASSERT_EQ(gaps.size(), 2u);
    EXPECT_EQ(gaps[0].gap, (WalGap{seg(1, 4), seg(1, 5), 2}));
    EXPECT_EQ(gaps[0].backups, std::vector<unsigned long long>{202});
    EXPECT_EQ(gaps[1].gap, (WalGap{seg(1, 10), seg(1, 11), 2}));
    EXPECT_EQ(gaps[1].backups, (std::vector<unsigned long long>{201, 202}));

    // The archive whole again: nothing to name.
    made.segments(104, 1, 4, 5, "2026-05-01T10:11:00Z").segments(105, 1, 10, 11, "2026-05-01T10:12:00Z");
    EXPECT_TRUE(walGapsOf(made.archive()).empty());
}

TEST(WalGapsTest, AcrossATimelineSwitchTheGapsAreOnTheLineRecoveryFollows) {
    MadeUpArchive made;
    // Timeline 2 left timeline 1 inside segment 5. Timeline 1 lacks 4 (on the
    // line) but holds 5 and 6 (after the switch: off the line); timeline 2
    // lacks 6.
    made.segments(101, 1, 1, 3, "2026-05-01T10:00:00Z")
        .segments(102, 1, 5, 6, "2026-05-01T10:01:00Z")
        .history(103, 2, "1\t0/5000100\tpromoted\n")
        .files(104, {seg(2, 5), seg(2, 7), seg(2, 8)}, "2026-05-01T10:02:00Z")
        .backup(201, 1, 2, 2, "2026-05-01T09:59:00Z");
    const std::vector<WalGapFound> gaps = walGapsOf(made.archive());
    ASSERT_EQ(gaps.size(), 2u);
    EXPECT_EQ(walGapLine(gaps[0]),
              "WAL gap: 000000010000000000000004 to 000000010000000000000004 (1 segment) "
              "missing: base backups before it cannot be restored past it");
    EXPECT_EQ(gaps[1].gap, (WalGap{seg(2, 6), seg(2, 6), 1}));
    EXPECT_EQ(gaps[1].timeline, 2u);
}

// ---------------------------------------------------------------- expire

std::vector<std::string> decisionsText(const std::vector<WalJobDecision>& decisions) {
    std::vector<std::string> text;
    for (const WalJobDecision& decision : decisions) {
        text.push_back(std::to_string(decision.jobId) + (decision.keep ? " keep " : " remove ") +
                       decision.why);
    }
    return text;
}

TEST(WalRetentionTest, AJobGoesOnlyWhenNoKeptBackupNeedsAnyOfItsFiles) {
    MadeUpArchive made;
    made.segments(101, 1, 1, 2, "2026-05-01T10:00:00Z")
        .segments(102, 1, 3, 4, "2026-05-01T10:01:00Z")
        .segments(103, 1, 5, 6, "2026-05-01T10:02:00Z")
        .history(104, 2, "1\t0/9000000\tpromoted\n")
        .files(105, {"notes.txt"}, "2026-05-01T10:03:00Z")
        .files(106, {"000000010000000000000002.00000028.backup"}, "2026-05-01T10:04:00Z");
    const WalArchive& archive = made.archive();
    std::vector<WalRetentionJob> jobs;
    for (const auto& [id, files] : archive.walJobs) jobs.push_back({id, files});
    const WalCoverage coverage = coverageOf(archive);

    // The kept backup starts in segment 4: 3 goes but 4 stays, so its job
    // stays whole.
    EXPECT_EQ(decisionsText(decideWalJobs(coverage, {{1, 4}}, jobs)),
              (std::vector<std::string>{"101 remove -", "102 keep needed", "103 keep needed",
                                        "104 keep timeline history", "105 keep not WAL",
                                        "106 remove -"}));
    // An older backup kept too keeps what it needs.
    EXPECT_EQ(decisionsText(decideWalJobs(coverage, {{1, 4}, {1, 2}}, jobs))[0], "101 keep needed");
    // No base backup kept: nothing goes (an empty list is no order to drop it all).
    for (const std::string& each : decisionsText(decideWalJobs(coverage, {}, jobs))) {
        EXPECT_NE(each.find(" keep no base backup kept"), std::string::npos) << each;
    }
}

TEST(WalRetentionTest, ABackupOnANewTimelineFreesTheOldTimelinesWal) {
    MadeUpArchive made;
    made.segments(101, 1, 1, 4, "2026-05-01T10:00:00Z")
        .segments(102, 1, 5, 7, "2026-05-01T10:01:00Z")
        .history(103, 2, "1\t0/5000100\tpromoted\n")
        .segments(104, 2, 5, 7, "2026-05-01T10:02:00Z");
    const WalArchive& archive = made.archive();
    std::vector<WalRetentionJob> jobs;
    for (const auto& [id, files] : archive.walJobs) jobs.push_back({id, files});
    EXPECT_EQ(decisionsText(decideWalJobs(coverageOf(archive), {{2, 6}}, jobs)),
              (std::vector<std::string>{"101 remove -", "102 remove -", "103 keep timeline history",
                                        "104 keep needed"}));
}

// ---------------------------------------------------------------- delete

TEST(WalDeletionTest, AWalJobABackupThatStaysNeedsIsRefusedByName) {
    MadeUpArchive made;
    made.segments(101, 1, 1, 2, "2026-05-01T10:00:00Z")
        .segments(102, 1, 3, 4, "2026-05-01T10:01:00Z")
        .segments(103, 1, 5, 6, "2026-05-01T10:02:00Z")
        .backup(201, 1, 3, 3, "2026-05-01T10:00:30Z")
        .backup(202, 1, 5, 5, "2026-05-01T10:01:30Z");
    const WalArchive& archive = made.archive();
    EXPECT_EQ(neededWalRefusal(archive, {101}), "");
    EXPECT_EQ(neededWalRefusal(archive, {102}),
              "job 102 holds WAL that base backup job 201 needs (000000010000000000000003); "
              "expire deletes it once no base backup kept needs it");
    // 6 is needed by both: the oldest is named.
    EXPECT_EQ(neededWalRefusal(archive, {101, 103}),
              "job 103 holds WAL that base backup job 201 needs (000000010000000000000005); "
              "expire deletes it once no base backup kept needs it");
    // Deleted with the backup that needs it, it goes: the other starts later.
    EXPECT_EQ(neededWalRefusal(archive, {201, 102}), "");
    EXPECT_EQ(neededWalRefusal(archive, {201, 103}).substr(0, 48),
              "job 103 holds WAL that base backup job 202 needs");
    // No base backup stays: nothing needs any WAL.
    EXPECT_EQ(neededWalRefusal(archive, {201, 202, 101, 102, 103}), "");
    // A base backup deleted alone takes no WAL with it, and is not refused.
    EXPECT_EQ(neededWalRefusal(archive, {202}), "");
}

TEST(WalDeletionTest, AJobHoldingATimelineHistoryStaysWhileABackupDoes) {
    MadeUpArchive made;
    made.segments(101, 1, 1, 4, "2026-05-01T10:00:00Z")
        .history(102, 2, "1\t0/3000000\tpromoted\n")
        .backup(201, 1, 4, 4, "2026-05-01T10:00:30Z");
    EXPECT_EQ(neededWalRefusal(made.archive(), {102}),
              "job 102 holds WAL that base backup job 201 needs (00000002.history); expire "
              "deletes it once no base backup kept needs it");
    EXPECT_EQ(neededWalRefusal(made.archive(), {102, 201}), "");
}

}  // namespace
