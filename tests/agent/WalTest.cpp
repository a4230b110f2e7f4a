// The pure pieces of a PostgreSQL WAL archive: names at their boundaries,
// a segment's first page header with each field wrong in turn, the files
// ready for archiving in the archiver's order, timeline history files, what
// an archive covers across a timeline switch and what retention keeps, and
// the recovery target's options and settings lines.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "wal/ArchiveStatus.h"
#include "wal/RecoveryTarget.h"
#include "wal/RecoveryTime.h"
#include "wal/TimelineHistory.h"
#include "wal/WalCoverage.h"
#include "wal/WalFileName.h"
#include "wal/WalSegmentHeader.h"

namespace {

const WalSegmentSize k16MiB(16 * 1024 * 1024);
const WalSegmentSize k1MiB(1024 * 1024);
const WalSegmentSize k1GiB(1024 * 1024 * 1024);

std::string segmentName(std::uint32_t timeline, std::uint64_t segno,
                        WalSegmentSize size = k16MiB) {
    return walSegmentName({timeline, segno}, size);
}

// ---------------------------------------------------------------- names

TEST(WalFileNameTest, TakesEachKindApart) {
    const auto segment = parseWalFileName("0000000A000000120000003F");
    ASSERT_TRUE(segment);
    EXPECT_EQ(segment->kind, WalFileKind::Segment);
    EXPECT_EQ(segment->timeline, 10u);
    EXPECT_EQ(segment->log, 0x12u);
    EXPECT_EQ(segment->seg, 0x3Fu);

    const auto partial = parseWalFileName("000000020000000000000005.partial");
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->kind, WalFileKind::PartialSegment);
    EXPECT_EQ(partial->seg, 5u);

    const auto backup = parseWalFileName("000000010000000000000002.00000028.backup");
    ASSERT_TRUE(backup);
    EXPECT_EQ(backup->kind, WalFileKind::BackupHistory);
    EXPECT_EQ(backup->seg, 2u);
    EXPECT_EQ(backup->backupOffset, 0x28u);

    const auto history = parseWalFileName("0000001F.history");
    ASSERT_TRUE(history);
    EXPECT_EQ(history->kind, WalFileKind::TimelineHistory);
    EXPECT_EQ(history->timeline, 31u);
    EXPECT_EQ(history->text, "0000001F.history");
}

TEST(WalFileNameTest, RefusesWhatPostgresNeverArchives) {
    for (const char* name :
         {"0000000100000000000000fe", "00000001000000000000000",  "0000000100000000000000001",
          "pg_wal/000000010000000000000001", "000000000000000000000001", "0000000g.history",
          "00000000.history", "0000001.history", "00000001.history.partial",
          "000000010000000000000001.Partial", "000000010000000000000001.partial.gz",
          "000000010000000000000001.0000028.backup", "000000010000000000000001.0000002g.backup",
          "000000010000000000000001.00000028.backup.x", "000000010000000000000001.", "",
          "0000000100000000000000 1", "RECOVERYXLOG"}) {
        EXPECT_FALSE(parseWalFileName(name)) << name;
    }
}

TEST(WalFileNameTest, SegmentNumbersWrapAtTheEndOfEachLogForEverySegmentSize) {
    EXPECT_EQ(nextWalSegmentName("0000000100000000000000FE", k16MiB), "0000000100000000000000FF");
    EXPECT_EQ(nextWalSegmentName("0000000100000000000000FF", k16MiB), "000000010000000100000000");
    EXPECT_EQ(nextWalSegmentName("000000030000000100000000", k16MiB), "000000030000000100000001");
    EXPECT_EQ(walSegmentOf(*parseWalFileName("000000010000000100000000"), k16MiB).segno, 256u);
    EXPECT_EQ(segmentName(1, 255), "0000000100000000000000FF");
    EXPECT_EQ(segmentName(1, 256), "000000010000000100000000");

    // 1 GiB: four segments a log.
    EXPECT_EQ(k1GiB.segmentsPerLog(), 4u);
    EXPECT_EQ(nextWalSegmentName("000000010000000000000003", k1GiB), "000000010000000100000000");
    EXPECT_EQ(walSegmentOf(*parseWalFileName("000000010000000100000002"), k1GiB).segno, 6u);
    EXPECT_EQ(segmentName(1, 6, k1GiB), "000000010000000100000002");
    // 1 MiB: 4096 a log.
    EXPECT_EQ(nextWalSegmentName("000000010000000000000FFF", k1MiB), "000000010000000100000000");

    // The highest segment of all has no next.
    EXPECT_EQ(nextWalSegmentName("00000001FFFFFFFF000000FE", k16MiB), "00000001FFFFFFFF000000FF");
    EXPECT_EQ(thrown([] { nextWalSegmentName("00000001FFFFFFFF000000FF", k16MiB); }).second, 2);
}

TEST(WalFileNameTest, NamesNoClusterOfTheSizeWritesAreRefused) {
    EXPECT_EQ(thrown([] { walSegmentOf(*parseWalFileName("000000010000000000000004"), k1GiB); }),
              std::make_pair(std::string("000000010000000000000004 is not the name of a segment "
                                         "of 1073741824 bytes"),
                             2));
    EXPECT_EQ(thrown([] { walSegmentOf(*parseWalFileName("00000002.history"), k16MiB); }).first,
              "00000002.history is a timeline history file, not a segment");
    EXPECT_EQ(thrown([] { nextWalSegmentName("000000010000000000000001.partial", k16MiB); }).first,
              "000000010000000000000001.partial is not the name of a WAL segment");
    for (std::uint64_t bytes : {0ULL, 512ULL * 1024, 3ULL * 1024 * 1024, 2048ULL * 1024 * 1024}) {
        EXPECT_EQ(thrown([&] { WalSegmentSize size(bytes); }).second, 2) << bytes;
    }
    EXPECT_EQ(thrown([] { WalSegmentSize size(3 * 1024 * 1024); }).first,
              "a WAL segment size of 3145728 bytes is not a power of two from 1 MiB to 1 GiB");
}

TEST(WalFileNameTest, LsnTextAsPostgresWritesAndReadsIt) {
    EXPECT_EQ(formatLsn(0x16B374D848ULL), "16/B374D848");
    EXPECT_EQ(formatLsn(0), "0/0");
    EXPECT_EQ(formatLsn(0xFFFFFFFFFFFFFFFFULL), "FFFFFFFF/FFFFFFFF");
    EXPECT_EQ(parseLsn("16/b374d848"), 0x16B374D848ULL);
    EXPECT_EQ(parseLsn("0/3000028"), 0x3000028ULL);
    EXPECT_EQ(parseLsn("00000000/00000001"), 1ULL);
    for (const char* bad : {"16/", "/1", "123456789/0", "0/123456789", "G/0", "1 /0", "1/0 ",
                            "1/-1", "10", "1/2/3", ""}) {
        EXPECT_FALSE(parseLsn(bad)) << bad;
    }
    EXPECT_EQ(segnoOfLsn(0x3000028, k16MiB), 3u);
    EXPECT_EQ(segnoOfLsn(0x2FFFFFF, k16MiB), 2u);
    EXPECT_EQ(segnoOfLsn(0x100000000ULL, k16MiB), 256u);
    EXPECT_EQ(segnoOfLsn(0x3000028, k1GiB), 0u);
    EXPECT_EQ(segmentStartLsn(256, k16MiB), 0x100000000ULL);
    EXPECT_EQ(timelineHistoryName(26), "0000001A.history");
}

// ---------------------------------------------------------------- segment header

// The first 40 bytes of 000000010000000000000001 as PostgreSQL 15's initdb
// wrote them on x86_64 (16 MiB segments).
std::string realHeader() {
    const unsigned char bytes[] = {
        0x10, 0xd1, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2c, 0xa2, 0xb5, 0x03,
        0x77, 0x2b, 0x19, 0x6b, 0x00, 0x00, 0x00, 0x01, 0x00, 0x20, 0x00, 0x00};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void putLittleEndian(std::string& bytes, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

const std::string kFirst = "000000010000000000000001";

TEST(WalSegmentHeaderTest, ReadsTheFieldsOfARealSegment) {
    const auto header = parseWalLongPageHeader(realHeader() + std::string(100, '\x7f'));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->magic, 0xD110);
    EXPECT_EQ(header->info, 0x0002);
    EXPECT_EQ(header->timeline, 1u);
    EXPECT_EQ(header->pageAddress, 0x1000000u);
    EXPECT_EQ(header->remainingLength, 0u);
    EXPECT_EQ(header->segmentSize, 16u * 1024 * 1024);
    EXPECT_EQ(header->pageSize, 8192u);
    EXPECT_EQ(systemIdentifierText(*header), "7717247226639393324");
    EXPECT_EQ(walSegmentMismatch(kFirst, realHeader(), 16 * 1024 * 1024), "");
    EXPECT_EQ(walSegmentMismatch(kFirst + ".partial", realHeader(), 16 * 1024 * 1024), "");
    EXPECT_FALSE(parseWalLongPageHeader(realHeader().substr(0, 39)));
}

TEST(WalSegmentHeaderTest, NamesTheFirstFieldThatDoesNotMatchTheName) {
    const std::uint64_t size = 16 * 1024 * 1024;
    const std::string prefix = kFirst + " is not a WAL segment of timeline 1 at 0/1000000 (its header ";

    std::string bytes = realHeader();
    putLittleEndian(bytes, 2, 0x0001, 2);  // a continuation page, no long header
    EXPECT_EQ(walSegmentMismatch(kFirst, bytes, size), prefix + "is not a segment's first page header)");

    bytes = realHeader();
    putLittleEndian(bytes, 4, 2, 4);
    putLittleEndian(bytes, 8, 0x5000000, 8);  // the timeline is named before the address
    EXPECT_EQ(walSegmentMismatch(kFirst, bytes, size), prefix + "says timeline 2)");

    bytes = realHeader();
    putLittleEndian(bytes, 8, 0x101000000ULL, 8);
    EXPECT_EQ(walSegmentMismatch(kFirst, bytes, size), prefix + "says 1/1000000)");

    bytes = realHeader();
    putLittleEndian(bytes, 32, 1024 * 1024, 4);
    EXPECT_EQ(walSegmentMismatch(kFirst, bytes, size),
              prefix + "says segments of 1048576 bytes, the file has 16777216)");

    bytes = realHeader();
    putLittleEndian(bytes, 36, 16384, 4);
    EXPECT_EQ(walSegmentMismatch(kFirst, bytes, size),
              prefix + "says pages of 16384 bytes, not 8192)");

    // The system identifier and the magic are not the name's business.
    bytes = realHeader();
    putLittleEndian(bytes, 24, 42, 8);
    putLittleEndian(bytes, 0, 0xD113, 2);
    EXPECT_EQ(walSegmentMismatch(kFirst, bytes, size), "");
    EXPECT_EQ(systemIdentifierText(*parseWalLongPageHeader(bytes)), "42");
}

TEST(WalSegmentHeaderTest, ChecksAgainstTheNamesTimelineAndAddress) {
    // The same bytes under the name of segment 3 of timeline 1, and with a
    // matching header for 1 GiB segments.
    EXPECT_EQ(walSegmentMismatch("000000010000000000000003", realHeader(), 16 * 1024 * 1024),
              "000000010000000000000003 is not a WAL segment of timeline 1 at 0/3000000 "
              "(its header says 0/1000000)");
    // A new timeline's first segment begins as its parent's copy: an older
    // timeline in its header is the switch, a newer one is not this file.
    EXPECT_EQ(walSegmentMismatch("000000020000000000000001", realHeader(), 16 * 1024 * 1024), "");
    std::string newer = realHeader();
    putLittleEndian(newer, 4, 3, 4);
    EXPECT_EQ(walSegmentMismatch("000000020000000000000001", newer, 16 * 1024 * 1024),
              "000000020000000000000001 is not a WAL segment of timeline 2 at 0/1000000 "
              "(its header says timeline 3)");
    std::string big = realHeader();
    putLittleEndian(big, 8, 0x180000000ULL, 8);  // segment 6 = log 1, seg 2
    putLittleEndian(big, 32, 1ULL << 30, 4);
    EXPECT_EQ(walSegmentMismatch("000000010000000100000002", big, 1ULL << 30), "");
}

TEST(WalSegmentHeaderTest, RefusesFilesThatCannotBeSegments) {
    EXPECT_EQ(walSegmentMismatch("00000002.history", realHeader(), 16 * 1024 * 1024),
              "00000002.history is not the name of a WAL segment");
    EXPECT_EQ(walSegmentMismatch(kFirst, realHeader().substr(0, 20), 16 * 1024 * 1024),
              kFirst + " is not a WAL segment (it has 20 bytes, fewer than a segment's header)");
    EXPECT_EQ(walSegmentMismatch(kFirst, realHeader(), 16 * 1024 * 1024 - 8192),
              kFirst + " is not a WAL segment (its 16769024 bytes are no segment size)");
    EXPECT_EQ(walSegmentMismatch("000000010000000000000004", realHeader(), 1ULL << 30),
              "000000010000000000000004 is not the name of a WAL segment of 1073741824 bytes");
}

// ---------------------------------------------------------------- archive status

void touch(const std::filesystem::path& path) { std::ofstream(path).put('\n'); }

TEST(ArchiveStatusTest, ListsReadyFilesHistoryFirstThenByName) {
    const std::filesystem::path pgWal = freshDirectory("wal-archive-status") + "/pg_wal";
    const std::filesystem::path status = pgWal / "archive_status";
    std::filesystem::create_directories(status);
    for (const char* name :
         {"000000010000000000000003.ready", "000000020000000000000003.partial.ready",
          "00000003.history.ready", "000000010000000000000002.ready", "00000002.history.ready",
          "000000010000000000000002.00000028.backup.ready", "000000010000000000000001.done",
          "00000001000000000000000a.ready", "garbage.ready", ".ready", "000000010000000000000004"}) {
        touch(status / name);
    }
    std::filesystem::create_directory(status / "sub.ready");

    EXPECT_EQ(walFilesReadyForArchive(pgWal, 100),
              (std::vector<std::string>{"00000002.history", "00000003.history",
                                        "000000010000000000000002",
                                        "000000010000000000000002.00000028.backup",
                                        "000000010000000000000003",
                                        "000000020000000000000003.partial"}));
    EXPECT_EQ(walFilesReadyForArchive(pgWal, 3),
              (std::vector<std::string>{"00000002.history", "00000003.history",
                                        "000000010000000000000002"}));
    EXPECT_TRUE(walFilesReadyForArchive(pgWal, 0).empty());
    // Nothing is changed in the directory.
    EXPECT_TRUE(std::filesystem::exists(status / "00000002.history.ready"));
}

TEST(ArchiveStatusTest, ADirectoryWithoutArchiveStatusIsBadInput) {
    const std::string directory = freshDirectory("wal-archive-status-missing");
    const auto [message, code] = thrown([&] { walFilesReadyForArchive(directory, 10); });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(message, directory + "/archive_status is not a directory: is " + directory +
                           " a cluster's pg_wal?");
}

// ---------------------------------------------------------------- timeline history

TEST(TimelineHistoryTest, ReadsEntriesSkippingCommentsAndBlankLines) {
    const TimelineHistory history = parseTimelineHistory(
        3, "1\t0/3000158\tbefore 2026-12-09 14:02:00+00\n"
           "\n"
           "  # switched again after a failover test\r\n"
           "2\t0/5000000\tat restore point \"before upgrade\"\r\n"
           "\n");
    EXPECT_EQ(history.timeline, 3u);
    EXPECT_EQ(history.entries,
              (std::vector<TimelineHistoryEntry>{
                  {1, 0x3000158, "before 2026-12-09 14:02:00+00"},
                  {2, 0x5000000, "at restore point \"before upgrade\""}}));
    // No reason, no final line end.
    EXPECT_EQ(parseTimelineHistory(2, "1\t0/3000158").entries,
              (std::vector<TimelineHistoryEntry>{{1, 0x3000158, ""}}));
    EXPECT_TRUE(parseTimelineHistory(2, "# nothing\n").entries.empty());
}

TEST(TimelineHistoryTest, RefusesMalformedTextWithItsLine) {
    const auto refused = [](std::uint32_t timeline, const std::string& text) {
        const auto [message, code] = thrown([&] { parseTimelineHistory(timeline, text); });
        EXPECT_EQ(code, 2) << text;
        return message;
    };
    EXPECT_EQ(refused(3, "# c\n\nx\t0/1\treason\n"),
              "00000003.history line 3: expected a timeline number first");
    EXPECT_EQ(refused(3, "1\t0/3000158\tok\n2\tzzz\tbad\n"),
              "00000003.history line 2: expected a switch point (X/Y) after the timeline");
    EXPECT_EQ(refused(3, "1\n"),
              "00000003.history line 1: expected a switch point (X/Y) after the timeline");
    EXPECT_EQ(refused(3, "2\t0/5000000\ta\n1\t0/6000000\tb\n"),
              "00000003.history line 2: timeline 1 does not come after timeline 2");
    EXPECT_EQ(refused(3, "1\t0/5000000\ta\n2\t0/4000000\tb\n"),
              "00000003.history line 2: switch point 0/4000000 is before 0/5000000");
    EXPECT_EQ(refused(2, "2\t0/5000000\ta\n"),
              "00000002.history line 1: timeline 2 is not an ancestor of timeline 2");
    EXPECT_EQ(refused(2, "0\t0/5000000\ta\n"),
              "00000002.history line 1: expected a timeline number first");
}

// ---------------------------------------------------------------- coverage

std::vector<std::string> segments(std::uint32_t timeline, std::uint64_t first,
                                  std::uint64_t last) {
    std::vector<std::string> names;
    for (std::uint64_t segno = first; segno <= last; ++segno) {
        names.push_back(segmentName(timeline, segno));
    }
    return names;
}

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(WalCoverageTest, ATimelinesSpanNamesItsGaps) {
    const WalCoverage coverage(joined({segments(1, 1, 3), segments(1, 5, 5), segments(1, 8, 9),
                                       {"000000010000000000000004.partial", "notes.txt"}}),
                               {}, k16MiB);
    const auto spans = coverage.timelines();
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0].first, "000000010000000000000001");
    EXPECT_EQ(spans[0].last, "000000010000000000000009");
    EXPECT_EQ(spans[0].segments, 6u);
    EXPECT_EQ(spans[0].gaps,
              (std::vector<WalGap>{
                  {"000000010000000000000004", "000000010000000000000004", 1},
                  {"000000010000000000000006", "000000010000000000000007", 2}}));
    EXPECT_EQ(coverage.ignored(), std::vector<std::string>{"notes.txt"});

    const WalContinuity continuity = coverage.continuity({1, 2});
    EXPECT_FALSE(continuity.complete);
    EXPECT_EQ(continuity.firstGap, "000000010000000000000004");
    EXPECT_EQ(continuity.lastReachable, "000000010000000000000003");
    EXPECT_EQ(continuity.problem,
              "the archive lacks 000000010000000000000004, so recovery from "
              "000000010000000000000002 stops after 000000010000000000000003");

    const WalContinuity fromLater = coverage.continuity({1, 8});
    EXPECT_TRUE(fromLater.complete);
    EXPECT_EQ(fromLater.lastReachable, "000000010000000000000009");
    EXPECT_EQ(fromLater.problem, "");

    const WalContinuity missingStart = coverage.continuity({1, 6});
    EXPECT_FALSE(missingStart.complete);
    EXPECT_EQ(missingStart.lastReachable, "");
    EXPECT_EQ(missingStart.problem, "the archive lacks 000000010000000000000006, so recovery from "
                                    "000000010000000000000006 cannot begin");
}

TEST(WalCoverageTest, SegmentsAcrossAWrapOfTheLogAreContiguous) {
    const WalCoverage coverage(segments(1, 0xFE, 0x101), {}, k16MiB);
    EXPECT_TRUE(coverage.timelines()[0].gaps.empty());
    EXPECT_EQ(coverage.timelines()[0].last, "000000010000000100000001");
    EXPECT_TRUE(coverage.continuity({1, 0xFE}).complete);
}

// Timeline 1 ran to segment 6 (the old primary went on after the switch);
// timeline 2 left it inside segment 5 and holds 5 to 8.
TimelineHistory historyOf2() { return parseTimelineHistory(2, "1\t0/5000100\tpromoted\n"); }

TEST(WalCoverageTest, RecoveryFollowsTheTargetsHistoryAcrossASwitch) {
    const std::vector<std::string> names =
        joined({segments(1, 1, 6), {"000000010000000000000005.partial", "00000002.history"},
                segments(2, 5, 8)});
    const WalCoverage coverage(names, {historyOf2()}, k16MiB);

    const WalContinuity latest = coverage.continuity({1, 2});
    EXPECT_TRUE(latest.complete) << latest.problem;
    EXPECT_EQ(latest.targetTimeline, 2u);
    EXPECT_EQ(latest.lastReachable, "000000020000000000000008");

    const WalContinuity stayOn1 = coverage.continuity({1, 2}, 1);
    EXPECT_TRUE(stayOn1.complete);
    EXPECT_EQ(stayOn1.lastReachable, "000000010000000000000006");

    // The switch segment is read from the new timeline: timeline 1's copy of
    // segment 5 does not stand in for it.
    std::vector<std::string> without = names;
    std::erase(without, "000000020000000000000005");
    const WalContinuity gap = WalCoverage(without, {historyOf2()}, k16MiB).continuity({1, 2});
    EXPECT_FALSE(gap.complete);
    EXPECT_EQ(gap.firstGap, "000000020000000000000005");
    EXPECT_EQ(gap.lastReachable, "000000010000000000000004");

    // And timeline 1's segment 4 is needed, not timeline 2's.
    std::vector<std::string> parentGap = names;
    std::erase(parentGap, "000000010000000000000004");
    parentGap.push_back("000000020000000000000004");
    EXPECT_EQ(WalCoverage(parentGap, {historyOf2()}, k16MiB).continuity({1, 2}).firstGap,
              "000000010000000000000004");

    // A backup that started on timeline 2 needs nothing of timeline 1.
    EXPECT_TRUE(coverage.continuity({2, 6}).complete);
    // Nor does one started in the switch segment on timeline 1.
    EXPECT_TRUE(coverage.continuity({1, 5}).complete);
}

TEST(WalCoverageTest, ATargetThatDoesNotContinueTheBackupsTimelineIsNotComplete) {
    const WalCoverage coverage(
        joined({segments(1, 1, 8), segments(2, 5, 8), segments(3, 2, 4)}),
        {historyOf2(), parseTimelineHistory(3, "1\t0/2000000\tbranch\n")}, k16MiB);
    // Timeline 2 left timeline 1 in segment 5, before a backup of segment 7.
    const WalContinuity late = coverage.continuity({1, 7}, 2);
    EXPECT_FALSE(late.complete);
    EXPECT_EQ(late.problem, "timeline 2 left timeline 1 at segment 000000010000000000000005, "
                            "before 000000010000000000000007");
    // Timeline 3 branched from 1, not from 2.
    EXPECT_EQ(coverage.continuity({2, 6}, 3).problem,
              "timeline 3 does not descend from timeline 2 of 000000020000000000000006");
    // "latest" from timeline 1 probes 2, then 3: the newest is 3.
    const WalContinuity latest = coverage.continuity({1, 1});
    EXPECT_EQ(latest.targetTimeline, 3u);
    EXPECT_TRUE(latest.complete);
    EXPECT_EQ(latest.lastReachable, "000000030000000000000004");
}

TEST(WalCoverageTest, LatestStopsAtTheFirstTimelineWithoutAHistoryFile) {
    const WalCoverage coverage(joined({segments(1, 1, 6), segments(2, 5, 8)}),
                               {historyOf2(),
                                parseTimelineHistory(4, "1\t0/5000100\ta\n2\t0/7000000\tb\n")},
                               k16MiB);
    EXPECT_EQ(coverage.continuity({1, 1}).targetTimeline, 2u);
}

TEST(WalCoverageTest, ANewTimelineWithoutSegmentsYetEndsAtItsParentsLast) {
    const WalCoverage coverage(joined({segments(1, 1, 6), segments(2, 5, 8)}),
                               {historyOf2(), parseTimelineHistory(
                                                  3, "1\t0/5000100\ta\n2\t0/9000000\tb\n")},
                               k16MiB);
    const WalContinuity latest = coverage.continuity({1, 1});
    EXPECT_EQ(latest.targetTimeline, 3u);
    EXPECT_TRUE(latest.complete) << latest.problem;
    EXPECT_EQ(latest.lastReachable, "000000020000000000000008");
}

TEST(WalCoverageTest, RetentionKeepsWhatTheKeptBackupsReachAndEveryHistoryFile) {
    // Timeline 1: 1..6; timeline 2 left it in segment 5 and holds 5..8;
    // timeline 3 left it at segment 3 and holds 3..4.
    const std::vector<std::string> names = joined(
        {segments(1, 1, 6), segments(2, 5, 8), segments(3, 3, 4),
         {"000000010000000000000005.partial", "000000010000000000000002.00000028.backup",
          "000000010000000000000004.00000060.backup", "00000002.history", "00000003.history",
          "notes.txt"}});
    const WalCoverage coverage(
        names, {historyOf2(), parseTimelineHistory(3, "1\t0/3000000\tbranch\n")}, k16MiB);

    const WalRetention fromTimeline1 = coverage.neededFrom({{1, 4}});
    EXPECT_EQ(fromTimeline1.keep,
              (std::vector<std::string>{
                  "000000010000000000000004", "000000010000000000000004.00000060.backup",
                  "000000010000000000000005", "000000010000000000000005.partial",
                  "000000010000000000000006", "00000002.history", "000000020000000000000005",
                  "000000020000000000000006", "000000020000000000000007",
                  "000000020000000000000008", "00000003.history"}));
    EXPECT_EQ(fromTimeline1.drop,
              (std::vector<std::string>{
                  "000000010000000000000001", "000000010000000000000002",
                  "000000010000000000000002.00000028.backup", "000000010000000000000003",
                  "000000030000000000000003", "000000030000000000000004"}));

    const WalRetention fromTimeline2 = coverage.neededFrom({{2, 6}});
    EXPECT_EQ(fromTimeline2.keep,
              (std::vector<std::string>{"00000002.history", "000000020000000000000006",
                                        "000000020000000000000007", "000000020000000000000008",
                                        "00000003.history"}));
    // Timeline 1 is not on timeline 2's way on, even where it went on.
    EXPECT_EQ(fromTimeline2.drop,
              joined({segments(1, 1, 2), {"000000010000000000000002.00000028.backup"},
                      segments(1, 3, 4), {"000000010000000000000004.00000060.backup"},
                      segments(1, 5, 5), {"000000010000000000000005.partial"},
                      segments(1, 6, 6), segments(2, 5, 5), segments(3, 3, 4)}));

    // Two backups: the union of what each needs.
    const WalRetention both = coverage.neededFrom({{2, 7}, {3, 4}});
    EXPECT_EQ(both.keep,
              (std::vector<std::string>{"00000002.history", "000000020000000000000007",
                                        "000000020000000000000008", "00000003.history",
                                        "000000030000000000000004"}));

    // No kept backup drops nothing; names that are no WAL files are in neither list.
    const WalRetention none = coverage.neededFrom({});
    EXPECT_EQ(none.keep.size(), names.size() - 1);
    EXPECT_TRUE(none.drop.empty());
}

TEST(WalCoverageTest, RetentionKeepsATimelineOfUnknownAncestryFromTheOldestStart) {
    const WalCoverage coverage(joined({segments(1, 1, 4), segments(5, 2, 4)}), {}, k16MiB);
    const WalRetention retention = coverage.neededFrom({{1, 3}});
    EXPECT_EQ(retention.keep,
              (std::vector<std::string>{"000000010000000000000003", "000000010000000000000004",
                                        "000000050000000000000003",
                                        "000000050000000000000004"}));
}

TEST(WalCoverageTest, NamesOfAnotherSegmentSizeAreIgnored) {
    const WalCoverage coverage({"000000010000000000000003", "000000010000000000000004"}, {},
                               k1GiB);
    EXPECT_EQ(coverage.ignored(), std::vector<std::string>{"000000010000000000000004"});
    EXPECT_EQ(coverage.timelines().at(0).last, "000000010000000000000003");
}

// ---------------------------------------------------------------- recovery target

// A local zone one hour east of UTC all year.
std::int64_t utcPlusOne(const CivilTime& time) {
    using namespace std::chrono;
    const sys_days date = year_month_day{year(time.year), month(static_cast<unsigned>(time.month)),
                                         day(static_cast<unsigned>(time.day))};
    return date.time_since_epoch().count() * 86400 + time.hour * 3600 + time.minute * 60 +
           time.second - 3600;
}

constexpr std::int64_t k1302Utc = 1796821320LL * 1000000;  // 2026-12-09 13:02:00 UTC

TEST(RecoveryTimeTest, ReadsTheFormsADbaWrites) {
    const struct {
        const char* text;
        std::int64_t micros;
    } cases[] = {
        {"2026-12-09 14:02:00", k1302Utc},  // local, one hour east
        {"2026-12-09 14:02", k1302Utc},
        {"2026-12-09T14:02:00", k1302Utc},
        {"2026-12-09T13:02:00Z", k1302Utc},
        {"2026-12-09 13:02:00 UTC", k1302Utc},
        {"2026-12-09 13:02:00 utc", k1302Utc},
        {"2026-12-09 14:02:00+01", k1302Utc},
        {"2026-12-09 14:02:00+01:00", k1302Utc},
        {"2026-12-09 14:02:00 +0100", k1302Utc},
        {"2026-12-09 07:32:00-0530", k1302Utc},
        {"2026-12-09 07:32:00 -05:30", k1302Utc},
        {"2026-12-09 14:02:00.5", k1302Utc + 500000},
        {"2026-12-09 13:02:00.000123Z", k1302Utc + 123},
        {"2026-12-09 13:02:00.1234567Z", k1302Utc + 123457},
        {"2026-12-09 13:01:59.9999996Z", k1302Utc},
        {"2026-12-09", 1796774400LL * 1000000 - 3600LL * 1000000},  // local midnight
        {"2026-12-09 UTC", 1796774400LL * 1000000},
        {"2028-02-29 00:00:00Z", 1835395200LL * 1000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseRecoveryTime(c.text, utcPlusOne), std::optional<std::int64_t>(c.micros))
            << c.text;
    }
}

TEST(RecoveryTimeTest, RefusesWhatIsNoTime) {
    for (const char* text :
         {"", "2026-13-01", "2026-00-10", "2026-02-29", "2026-12-32", "2026-12-09 24:00:00",
          "2026-12-09 14:60", "2026-12-09 14:02:60", "2026-12-09T", "2026-12-09 14",
          "2026-12-09 14:02:00+16", "2026-12-09 14:02:00+01:60", "2026-12-09 14:02:00+1",
          "2026-12-09 14:02:00 CET", "2026-12-09 14:02:00.", "09.12.2026", "2026-12-9",
          "2026-12-09+01", "2026-12-09 14:02:00Z junk", "yesterday"}) {
        EXPECT_FALSE(parseRecoveryTime(text, utcPlusOne)) << text;
    }
}

std::pair<std::string, int> refusedTarget(const RecoveryTargetOptions& options) {
    return thrown([&] { parseRecoveryTarget(options, utcPlusOne); });
}

TEST(RecoveryTargetTest, ChecksEachOptionWithOneLine) {
    RecoveryTargetOptions two;
    two.time = "2026-12-09 14:02:00";
    two.xid = "1234";
    EXPECT_EQ(refusedTarget(two),
              std::make_pair(std::string("give one recovery target: --target-time and "
                                         "--target-xid were both given"),
                             2));
    RecoveryTargetOptions latestToo;
    latestToo.name = "before";
    latestToo.target = "latest";
    EXPECT_EQ(refusedTarget(latestToo).first,
              "give one recovery target: --target-name and --target were both given");

    const auto refused = [](auto set) {
        RecoveryTargetOptions options;
        set(options);
        return refusedTarget(options).first;
    };
    EXPECT_EQ(refused([](auto& o) { o.xid = "0"; }),
              "--target-xid \"0\" is not a transaction id (a whole number from 1)");
    EXPECT_EQ(refused([](auto& o) { o.xid = "12a"; }),
              "--target-xid \"12a\" is not a transaction id (a whole number from 1)");
    EXPECT_EQ(refused([](auto& o) { o.xid = "-5"; }),
              "--target-xid \"-5\" is not a transaction id (a whole number from 1)");
    EXPECT_EQ(refused([](auto& o) { o.xid = "18446744073709551616"; }),
              "--target-xid \"18446744073709551616\" is not a transaction id (a whole number "
              "from 1)");
    EXPECT_EQ(refused([](auto& o) { o.lsn = "0/XYZ"; }),
              "--target-lsn \"0/XYZ\" is not a WAL location such as \"0/3000028\"");
    EXPECT_EQ(refused([](auto& o) { o.time = "2026-12-09\n14:02"; }),
              "--target-time \"2026-12-09\\n14:02\" is not a time such as \"2026-12-09 "
              "14:02:00\" or \"2026-12-09T14:02:00.5+01:00\"");
    EXPECT_EQ(refused([](auto& o) { o.name = ""; }), "--target-name is empty");
    EXPECT_EQ(refused([](auto& o) { o.name = "a\nb"; }),
              "--target-name \"a\\nb\" holds a line break or NUL byte; a restore point's name "
              "is one line");
    EXPECT_EQ(refused([](auto& o) { o.name = std::string(64, 'n'); }),
              "--target-name has 64 bytes; a restore point's name has at most 63");
    EXPECT_EQ(refused([](auto& o) { o.target = "earliest"; }),
              "--target \"earliest\" is not a recovery target: give \"latest\", or one of "
              "--target-time, --target-lsn, --target-xid, --target-name");
    EXPECT_EQ(refused([](auto& o) { o.timeline = "0"; }),
              "--target-timeline \"0\" is not a timeline: give \"latest\", \"current\" or a "
              "number from 1");
    EXPECT_EQ(refused([](auto& o) { o.timeline = "4294967296"; }),
              "--target-timeline \"4294967296\" is not a timeline: give \"latest\", "
              "\"current\" or a number from 1");
    EXPECT_EQ(refused([](auto& o) { o.timeline = "newest"; }),
              "--target-timeline \"newest\" is not a timeline: give \"latest\", \"current\" or a "
              "number from 1");
    EXPECT_EQ(refused([](auto& o) {
                  o.xid = "7";
                  o.action = "resume";
              }),
              "--target-action \"resume\" is not one of pause, promote, shutdown");
    EXPECT_EQ(refused([](auto& o) { o.action = "pause"; }),
              "--target-action applies only where recovery stops at a target: give "
              "--target-time, --target-lsn, --target-xid or --target-name");
}

TEST(RecoveryTargetTest, WritesTheSettingsQuotedForTheConfigFile) {
    const std::string restore = "pipeline-agent wal-fetch --store '/srv/it''s' %f %p";

    RecoveryTargetOptions time;
    time.time = "2026-12-09 14:02:00+01";
    time.timeline = "current";
    const RecoveryTarget atTime = parseRecoveryTarget(time, utcPlusOne);
    EXPECT_EQ(atTime.kind, RecoveryTargetKind::Time);
    EXPECT_EQ(atTime.timeMicros, k1302Utc);
    EXPECT_EQ(recoverySettingsLines(atTime, restore),
              (std::vector<std::string>{
                  "restore_command = 'pipeline-agent wal-fetch --store ''/srv/it''''s'' %f %p'",
                  "recovery_target_time = '2026-12-09 14:02:00+01'",
                  "recovery_target_action = 'promote'",
                  "recovery_target_timeline = 'current'"}));

    RecoveryTargetOptions name;
    name.name = "it's a \\ point";
    name.action = "pause";
    name.timeline = "0x1A";
    EXPECT_EQ(recoverySettingsLines(parseRecoveryTarget(name, utcPlusOne), "cp /a/%f %p"),
              (std::vector<std::string>{"restore_command = 'cp /a/%f %p'",
                                        "recovery_target_name = 'it''s a \\\\ point'",
                                        "recovery_target_action = 'pause'",
                                        "recovery_target_timeline = '26'"}));

    RecoveryTargetOptions lsn;
    lsn.lsn = "16/b374d848";
    lsn.action = "shutdown";
    const RecoveryTarget atLsn = parseRecoveryTarget(lsn, utcPlusOne);
    EXPECT_EQ(atLsn.lsn, 0x16B374D848ULL);
    EXPECT_EQ(recoverySettingsLines(atLsn, "x"),
              (std::vector<std::string>{"restore_command = 'x'",
                                        "recovery_target_lsn = '16/B374D848'",
                                        "recovery_target_action = 'shutdown'"}));

    // Leading zeros would make PostgreSQL read the xid as octal.
    RecoveryTargetOptions xid;
    xid.xid = "0100";
    EXPECT_EQ(recoverySettingsLines(parseRecoveryTarget(xid, utcPlusOne), "x").at(1),
              "recovery_target_xid = '100'");

    RecoveryTargetOptions latest;
    latest.target = "latest";
    latest.timeline = "latest";
    EXPECT_EQ(recoverySettingsLines(parseRecoveryTarget(latest, utcPlusOne), "x"),
              (std::vector<std::string>{"restore_command = 'x'",
                                        "recovery_target_timeline = 'latest'"}));
    EXPECT_EQ(recoverySettingsLines(parseRecoveryTarget({}, utcPlusOne), "x"),
              std::vector<std::string>{"restore_command = 'x'"});

    EXPECT_EQ(thrown([] { recoverySettingsLines({}, "cp %f %p\nrm -rf /"); }),
              std::make_pair(std::string("the restore_command holds a line break or NUL byte, "
                                         "which a setting cannot hold"),
                             2));
    EXPECT_EQ(thrown([] { recoverySettingsLines({}, ""); }).first, "the restore_command is empty");
}

}  // namespace
