// A restore to a moment: which base backup takes it, what is refused before
// anything is written, and where a backup's tablespaces go.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "archive/RecoveryWindow.h"
#include "jobs/wal/TablespacePlaces.h"
#include "wal/RecoveryTime.h"

namespace {

const std::string kSegment = "00000001000000000000000";  // + one hex digit

ArchivedBaseBackup backupAt(unsigned long long job, char segment, const std::string& stopped) {
    ArchivedBaseBackup backup;
    backup.jobId = job;
    backup.cluster.systemIdentifier = "7717247226639393324";
    backup.cluster.timeline = 1;
    backup.cluster.segmentSize = 16 << 20;
    backup.cluster.startWal = backup.cluster.stopWal = kSegment + segment;
    backup.cluster.startLsn = std::string("0/") + segment + "000028";
    backup.cluster.stopLsn = std::string("0/") + segment + "000100";
    backup.cluster.stoppedAt = stopped;
    return backup;
}

// Segments 2 to 5 archived, each at its own moment; base backups that began
// in segments 2 and 4.
WalArchive anArchive() {
    WalArchive archive;
    archive.systemIdentifier = "7717247226639393324";
    archive.segmentSize = 16 << 20;
    const char* times[] = {"2026-12-09T10:05:00Z", "2026-12-09T10:35:00Z", "2026-12-09T11:05:00Z",
                           "2026-12-09T12:00:00Z"};
    for (char digit = '2'; digit <= '5'; ++digit) {
        const std::string name = kSegment + digit;
        archive.files[name] = ArchivedWal{name, 100ULL + (digit - '0'), 16 << 20,
                                          std::string(64, 'a'), times[digit - '2']};
    }
    archive.backups = {backupAt(10, '2', "2026-12-09T10:00:00Z"),
                       backupAt(20, '4', "2026-12-09T11:00:00Z")};
    return archive;
}

RecoveryTarget targetOf(RecoveryTargetOptions options) {
    return parseRecoveryTarget(options, [](const CivilTime&) -> int64_t { return 0; });
}

RecoveryTarget at(const std::string& time) {
    RecoveryTargetOptions options;
    options.time = time;
    return targetOf(options);
}

std::string refused(const std::vector<BackupReach>& reaches, unsigned long long job,
                    const RecoveryTarget& target) {
    return thrown([&] { chooseBackup(reaches, job, target); }).first;
}

}  // namespace

TEST(RecoveryWindow, EachBackupReachesFromItsEndToTheNewestSegmentArchived) {
    const WalArchive archive = anArchive();
    const std::vector<BackupReach> reaches = reachOf(archive, coverageOf(archive));
    ASSERT_EQ(reaches.size(), 2u);
    for (const BackupReach& reach : reaches) {
        EXPECT_TRUE(reach.continuity.complete) << reach.continuity.problem;
        EXPECT_EQ(reach.continuity.lastReachable, kSegment + "5");
        EXPECT_EQ(reach.latest, "2026-12-09T12:00:00Z");
        EXPECT_EQ(reach.latestLsn, 0x6000000u);  // the end of segment 5
    }
    EXPECT_EQ(reaches[0].earliest, "2026-12-09T10:00:00Z");
    EXPECT_EQ(reaches[1].earliest, "2026-12-09T11:00:00Z");
}

TEST(RecoveryWindow, TheNewestBackupThatEndedBeforeATimeTakesItAndOthersAreRefused) {
    const WalArchive archive = anArchive();
    const std::vector<BackupReach> reaches = reachOf(archive, coverageOf(archive));
    EXPECT_EQ(chooseBackup(reaches, 0, at("2026-12-09 11:30:00+00")).backup->jobId, 20u);
    EXPECT_EQ(chooseBackup(reaches, 0, at("2026-12-09 10:30:00+00")).backup->jobId, 10u);
    EXPECT_EQ(chooseBackup(reaches, 10, at("2026-12-09 11:30:00+00")).backup->jobId, 10u);
    EXPECT_EQ(refused(reaches, 0, at("2026-12-09 09:00:00+00")),
              "2026-12-09 09:00:00+00 is before job 10 ended (2026-12-09T10:00:00Z)");
    EXPECT_EQ(refused(reaches, 20, at("2026-12-09 10:30:00+00")),
              "2026-12-09 10:30:00+00 is before job 20 ended (2026-12-09T11:00:00Z)");
    EXPECT_EQ(refused(reaches, 0, at("2026-12-09 12:00:01+00")),
              "2026-12-09 12:00:01+00 is past the newest WAL the archive holds for job 10 "
              "(000000010000000000000005, archived 2026-12-09T12:00:00Z)");
    EXPECT_EQ(refused(reaches, 7, at("2026-12-09 11:30:00+00")),
              "job 7 is no complete native PostgreSQL base backup (backup --postgres) of this "
              "store");
    RecoveryTargetOptions lsn;
    lsn.lsn = "0/4000000";
    EXPECT_EQ(chooseBackup(reaches, 0, targetOf(lsn)).backup->jobId, 10u);
    lsn.lsn = "0/6000001";
    EXPECT_EQ(refused(reaches, 0, targetOf(lsn)),
              "0/6000001 is past the newest WAL the archive holds for job 10 (0/6000000)");
    EXPECT_EQ(refused({}, 0, at("2026-12-09 11:30:00+00")),
              "the store holds no complete native PostgreSQL base backup");
}

TEST(RecoveryWindow, AGapRefusesTheBackupsBeforeItAndNotThoseAfter) {
    WalArchive archive = anArchive();
    archive.files.erase(kSegment + "3");
    const std::vector<BackupReach> reaches = reachOf(archive, coverageOf(archive));
    ASSERT_EQ(reaches.size(), 2u);
    EXPECT_FALSE(reaches[0].continuity.complete);
    EXPECT_EQ(reaches[0].continuity.firstGap, kSegment + "3");
    EXPECT_TRUE(reaches[1].continuity.complete);
    EXPECT_EQ(chooseBackup(reaches, 0, at("2026-12-09 11:30:00+00")).backup->jobId, 20u);
    const std::string gap = refused(reaches, 10, at("2026-12-09 11:30:00+00"));
    EXPECT_EQ(gap.rfind("the archive cannot take job 10 on: ", 0), 0u) << gap;
    EXPECT_NE(gap.find(kSegment + "3"), std::string::npos) << gap;
}

TEST(TablespacePlaces, EachTablespaceOfTheMapNeedsANewPlaceOfItsOwn) {
    const std::string directory = freshDirectory("tablespace-places");
    const std::string map = "16397 /srv/ts1\n16400 /srv/ts two\n";
    const std::vector<TablespacePlace> places = placeTablespaces(
        map, {"/srv/ts two=" + directory + "/b", "/srv/ts1=" + directory + "/a"});
    ASSERT_EQ(places.size(), 2u);
    EXPECT_EQ(places[0].oid, "16397");
    EXPECT_EQ(places[0].to, directory + "/a");
    EXPECT_EQ(places[1].from, "/srv/ts two");
    EXPECT_EQ(places[1].to, directory + "/b");

    const auto refusal = [&](const std::vector<std::string>& mappings) {
        const auto [message, code] = thrown([&] { placeTablespaces(map, mappings); });
        EXPECT_EQ(code, 2) << message;
        return message;
    };
    EXPECT_EQ(refusal({"/srv/ts1=" + directory + "/a"}),
              "the backup has the tablespace 16400 at /srv/ts two: give --tablespace-mapping "
              "/srv/ts two=NEW, a new or empty directory for it");
    EXPECT_EQ(refusal({"/srv/ts1=relative"}), "--tablespace-mapping /srv/ts1=relative: NEW must be absolute");
    EXPECT_EQ(refusal({"/srv/ts1"}), "--tablespace-mapping /srv/ts1 is not OLD=NEW");
    EXPECT_EQ(refusal({"/srv/ts1=" + directory + "/a", "/srv/ts two=" + directory + "/a"}),
              directory + "/a is given for two tablespaces");
    std::filesystem::create_directories(directory + "/full");
    std::ofstream(directory + "/full/x") << "x";
    EXPECT_EQ(refusal({"/srv/ts1=" + directory + "/full"}),
              directory + "/full is neither new nor an empty directory");
    EXPECT_EQ(refusal({"/srv/ts1=" + directory + "/a", "/srv/ts two=" + directory + "/b",
                       "/srv/ts3=" + directory + "/c"}),
              "--tablespace-mapping names /srv/ts3, which is no tablespace of the backup");
    std::filesystem::remove_all(directory);
}
