// The progress line: its text, when it is drawn or printed, and how it shares
// stderr with the agent's other lines. A fake clock drives it through
// StreamPhases, as the job's stream code does.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/Console.h"
#include "report/ProgressLine.h"
#include "report/StreamPhases.h"

using namespace std::chrono_literals;

namespace {

constexpr uint64_t kMiB = 1 << 20;

struct Harness {
    std::chrono::nanoseconds now{0};
    std::string written;
    StreamPhases phases;
    ProgressLine line;

    // rateLimit: the job's, paced on the fake clock.
    Harness(JobKind kind, bool terminal, unsigned long streams, uint64_t total,
            unsigned columns = 200, uint64_t rateLimit = 0)
        : phases(
              {kind, 42, streams, total, true, rateLimit}, [this] { return now; },
              [this](std::chrono::nanoseconds span) { now += span; }),
          line(phases.job(), output(terminal, columns)) {
        phases.addObserver(&line);
    }

    ProgressOutput output(bool terminal, unsigned columns) {
        ProgressOutput out;
        out.terminal = terminal;
        out.columns = columns;
        out.write = [this](const std::string& text) { written += text; };
        return out;
    }

    std::string take() {
        std::string out;
        out.swap(written);
        return out;
    }
};

TEST(ProgressFormat, BytesAndDurations) {
    EXPECT_EQ(formatBytes(0), "0 B");
    EXPECT_EQ(formatBytes(1023), "1023 B");
    EXPECT_EQ(formatBytes(1024), "1.0 KiB");
    EXPECT_EQ(formatBytes(1536), "1.5 KiB");
    EXPECT_EQ(formatBytes(40.0 * kMiB), "40.0 MiB");
    EXPECT_EQ(formatBytes(3.25 * 1024 * kMiB), "3.2 GiB");
    EXPECT_EQ(formatDuration(0s), "0:00");
    EXPECT_EQ(formatDuration(7s), "0:07");
    EXPECT_EQ(formatDuration(750s), "12:30");
    EXPECT_EQ(formatDuration(3723s), "1:02:03");
}

TEST(ProgressText, BackupShowsBytesRateEtaAndWhatTheStreamsDo) {
    Harness h(JobKind::Backup, false, 5, 100 * kMiB);
    h.phases.enter(1, Phase::SetUp);
    // Before any pause ended, each is taken to last the mandated 2 s.
    EXPECT_EQ(h.line.text(h.now),
              "backup: 0 B of 100.0 MiB (0%), ETA 0:10; setting up stream 1 of 5");
    h.phases.enter(1, Phase::Pause);
    EXPECT_EQ(h.line.text(h.now),
              "backup: 0 B of 100.0 MiB (0%), ETA 0:10; stream 1 of 5: the mandated 2 s pause "
              "after its archive file was created");
    h.phases.enter(1, Phase::Data);
    h.phases.enter(2, Phase::Data);
    h.phases.enter(3, Phase::SetUp);
    h.now = 1s;
    h.phases.moved(1, 4 * kMiB);  // the rate counts from the first byte
    h.now = 6s;
    h.phases.moved(2, 36 * kMiB);
    // 40 MiB in 5 s: 8 MiB/s, 60 MiB to go.
    EXPECT_EQ(h.line.text(h.now),
              "backup: 40.0 MiB of 100.0 MiB (40%), 8.0 MiB/s, ETA 0:08; setting up stream 3 "
              "of 5, writing 2 streams");
    h.phases.enter(1, Phase::Idle);
    h.phases.enter(2, Phase::Close);
    EXPECT_EQ(h.line.text(h.now),
              "backup: 40.0 MiB of 100.0 MiB (40%), 8.0 MiB/s, ETA 0:08; closing stream 2 of 5, "
              "setting up stream 3 of 5");
}

TEST(ProgressText, ARateLimitIsShownBesideTheRateAndAloneBeforeThereIsOne) {
    Harness h(JobKind::Restore, false, 2, 8 * kMiB, 200, 2 * kMiB);
    h.phases.enter(1, Phase::Read);
    EXPECT_EQ(h.line.text(h.now),
              "restore: 0 B of 8.0 MiB (0%), limit 2.0 MiB/s; reading 1 stream");
    h.phases.moved(1, kMiB);  // paced: the fake clock moves on by 0.5 s
    h.phases.moved(1, 3 * kMiB);
    EXPECT_EQ(h.line.text(h.now),
              "restore: 4.0 MiB of 8.0 MiB (50%), 2.0 MiB/s (limit 2.0 MiB/s), ETA 0:02; "
              "reading 1 stream");
}

// A line too long for the terminal leaves out what single streams do first,
// then the summary of the streams, the rate and the time left, and never
// cuts a word.
TEST(ProgressText, FitsTheWidthDroppingTheLeastUsefulPartsFirst) {
    Harness h(JobKind::Backup, false, 5, 100 * kMiB);
    h.phases.enter(1, Phase::Data);
    h.phases.enter(2, Phase::Data);
    h.phases.enter(3, Phase::Pause);
    h.now = 1s;
    h.phases.moved(1, 4 * kMiB);
    h.now = 6s;
    h.phases.moved(2, 36 * kMiB);
    const std::string full = h.line.text(h.now);
    EXPECT_EQ(full,
              "backup: 40.0 MiB of 100.0 MiB (40%), 8.0 MiB/s, ETA 0:08; stream 3 of 5: the "
              "mandated 2 s pause after its archive file was created, writing 2 streams");
    EXPECT_EQ(h.line.text(h.now, full.size()), full);
    EXPECT_EQ(h.line.text(h.now, 80),
              "backup: 40.0 MiB of 100.0 MiB (40%), 8.0 MiB/s, ETA 0:08; writing 2 streams");
    // 80 and 60 columns less "pipeline-agent: " and the last column.
    EXPECT_EQ(h.line.text(h.now, 80 - 17),
              "backup: 40.0 MiB of 100.0 MiB (40%), 8.0 MiB/s, ETA 0:08");
    EXPECT_EQ(h.line.text(h.now, 50), "backup: 40.0 MiB of 100.0 MiB (40%), ETA 0:08");
    EXPECT_EQ(h.line.text(h.now, 60 - 17), "backup: 40.0 MiB of 100.0 MiB (40%)");
    EXPECT_EQ(h.line.text(h.now, 30), "backup: 40.0 MiB of 100.0 MiB");
    EXPECT_EQ(h.line.text(h.now, 28), "backup: 40.0 MiB of 100.0");
    EXPECT_EQ(h.line.text(h.now, 5), "");
}

TEST(ProgressText, AStreamOfUnknownLengthShowsBytesSoFarAndOnlyThePausesEta) {
    // 40 MiB of files and a stream input: the line shows neither a share of
    // the files' bytes nor a time left for data whose end is not known; the
    // pauses still to come are counted.
    std::chrono::nanoseconds now{0};
    StreamPhases phases({JobKind::Backup, 42, 2, 40 * kMiB, false}, [&] { return now; });
    ProgressOutput out;
    out.write = [](const std::string&) {};
    ProgressLine line(phases.job(), out);
    phases.addObserver(&line);
    phases.enter(1, Phase::Pause);
    now = 2s;
    phases.enter(1, Phase::Data);
    now = 3s;
    phases.moved(1, kMiB);
    now = 5s;
    phases.moved(1, 9 * kMiB);
    EXPECT_EQ(line.text(now), "backup: 10.0 MiB so far, 5.0 MiB/s, ETA 0:02; writing 1 stream");
    phases.enter(2, Phase::Pause);
    now = 6s;
    EXPECT_EQ(line.text(now),
              "backup: 10.0 MiB so far, 3.3 MiB/s, ETA 0:01; stream 2 of 2: the mandated 2 s "
              "pause after its archive file was created, writing 1 stream");
}

TEST(ProgressText, ABackupsTimeLeftCountsThePausesToComeAsLongAsTheLastOne) {
    Harness h(JobKind::Backup, false, 4, 100 * kMiB);
    h.phases.enter(1, Phase::Pause);
    h.now = 3s;  // a slow machine: this pause took 3 s
    h.phases.enter(1, Phase::Data);
    h.phases.enter(2, Phase::Pause);
    h.now = 3500ms;
    h.phases.moved(1, kMiB);
    // 2.5 s left of stream 2's, 3 s for each of streams 3 and 4; no rate yet.
    EXPECT_EQ(h.line.text(h.now),
              "backup: 1.0 MiB of 100.0 MiB (1%), ETA 0:09; stream 2 of 4: the mandated 2 s pause "
              "after its archive file was created, writing 1 stream");
    // Pauses that are skipped (tests) leave the data's own estimate.
    h.now = 4s;
    h.phases.enter(2, Phase::Data);
    h.phases.enter(3, Phase::Pause);
    h.phases.enter(3, Phase::Data);
    h.phases.enter(4, Phase::Pause);
    h.phases.enter(4, Phase::Data);
    h.now = 5500ms;
    h.phases.moved(2, 9 * kMiB);
    // 10 MiB in 2 s since the first byte: 5 MiB/s, 90 MiB to go.
    EXPECT_EQ(h.line.text(h.now),
              "backup: 10.0 MiB of 100.0 MiB (10%), 5.0 MiB/s, ETA 0:18; writing 4 streams");
}

// A copy writes its streams as a backup does: named as a copy, its pauses
// counted in its time left.
TEST(ProgressText, ACopyIsNamedSoAndCountsThePausesToComeAsABackupDoes) {
    Harness h(JobKind::Copy, false, 3, 30 * kMiB);
    h.phases.enter(1, Phase::Pause);
    EXPECT_EQ(h.line.text(h.now),
              "copy: 0 B of 30.0 MiB (0%), ETA 0:06; stream 1 of 3: the mandated 2 s pause after "
              "its archive file was created");
}

TEST(ProgressText, RestoreNamesItsPhasesAndNoEtaOnceAllIsRead) {
    Harness h(JobKind::Restore, false, 3, 10 * kMiB);
    h.phases.enter(2, Phase::Open);
    EXPECT_EQ(h.line.text(h.now), "restore: 0 B of 10.0 MiB (0%); opening stream 2 of 3");
    h.phases.enter(2, Phase::Seek);
    EXPECT_EQ(h.line.text(h.now), "restore: 0 B of 10.0 MiB (0%); seeking stream 2 of 3");
    h.phases.enter(2, Phase::Read);
    h.phases.moved(2, 10 * kMiB);
    // No rate within the first second: it would say nothing yet.
    EXPECT_EQ(h.line.text(h.now + 500ms), "restore: 10.0 MiB of 10.0 MiB (100%); reading 1 stream");
    h.phases.enter(2, Phase::Idle);
    h.phases.enter(1, Phase::ClosingWait);
    EXPECT_EQ(h.line.text(h.now + 2s),
              "restore: 10.0 MiB of 10.0 MiB (100%), 5.0 MiB/s; closing stream 1 of 3");
    h.phases.enter(1, Phase::Idle);
    EXPECT_EQ(h.line.text(h.now + 2s), "restore: 10.0 MiB of 10.0 MiB (100%), 5.0 MiB/s; waiting");
}

TEST(ProgressPlain, ALineEveryFiveSecondsWithTheAgreedPrefix) {
    Harness h(JobKind::Backup, false, 2, 8 * kMiB);
    h.phases.enter(1, Phase::SetUp);
    h.now = 4900ms;
    h.phases.tick();
    h.phases.enter(1, Phase::Pause);
    EXPECT_EQ(h.take(), "") << "nothing before 5 s, phase changes included";
    h.now = 5s;
    h.phases.tick();
    EXPECT_EQ(h.take(),
              "pipeline-agent: progress: backup: 0 B of 8.0 MiB (0%), ETA 0:04; stream 1 of 2: "
              "the mandated 2 s pause after its archive file was created\n");
    h.now = 9s;
    h.phases.enter(1, Phase::Data);
    h.phases.moved(1, kMiB);
    EXPECT_EQ(h.take(), "");
    h.now = 10s;
    h.phases.tick();
    const std::string line = h.take();
    EXPECT_EQ(line.rfind("pipeline-agent: progress: backup: 1.0 MiB of 8.0 MiB (12%)", 0), 0u)
        << line;
    EXPECT_EQ(line.find('\r'), std::string::npos);
    h.phases.end();
    h.now = 20s;
    h.phases.tick();
    EXPECT_EQ(h.take(), "") << "nothing once the job ended";
}

TEST(ProgressTerminal, RedrawsInPlaceAtPhaseChangesAndAtMostEvery100ms) {
    Harness h(JobKind::Restore, true, 2, 4 * kMiB);
    h.phases.enter(1, Phase::Open);
    EXPECT_EQ(h.take(),
              "\rpipeline-agent: restore: 0 B of 4.0 MiB (0%); opening stream 1 of 2\033[K");
    h.phases.enter(1, Phase::Read);
    h.now = 50ms;
    h.phases.moved(1, kMiB);
    h.take();
    h.now = 99ms;
    h.phases.moved(1, kMiB);
    EXPECT_EQ(h.take(), "") << "bytes within 100 ms of the last draw are not drawn";
    h.now = 150ms;
    h.phases.tick();
    EXPECT_EQ(h.take(),
              "\rpipeline-agent: restore: 2.0 MiB of 4.0 MiB (50%); reading 1 stream\033[K");
    // Going idle is no reason to draw at once (it would flicker between two
    // streams' phases); the next draw shows it.
    h.now = 160ms;
    h.phases.enter(1, Phase::Idle);
    EXPECT_EQ(h.take(), "");
}

TEST(ProgressTerminal, OtherLinesPrintAboveItAndItIsClearedAtTheEnd) {
    Harness h(JobKind::Backup, true, 1, kMiB);
    h.phases.enter(1, Phase::SetUp);
    const std::string drawn =
        "\rpipeline-agent: backup: 0 B of 1.0 MiB (0%), ETA 0:02; setting up stream 1 of 1\033[K";
    EXPECT_EQ(h.take(), drawn);
    // say() goes through printLine: the live line is cleared, the line
    // printed (on the real stderr), and the live line drawn again.
    printLine("pipeline-agent: a line of its own\n");
    EXPECT_EQ(h.take(), "\r\033[K" + drawn);
    h.phases.end();
    EXPECT_EQ(h.take(), "\r\033[K");
    printLine("pipeline-agent: after the job\n");
    EXPECT_EQ(h.take(), "") << "an ended job's line is not drawn again";
}

TEST(ProgressTerminal, ADroppedLineIsNeverDrawnAgain) {
    Harness h(JobKind::Restore, true, 1, kMiB);
    h.phases.enter(1, Phase::Read);
    h.take();
    // A signal's _exit path: cleared now, and nothing draws it after.
    dropLiveLine();
    EXPECT_EQ(h.take(), "\r\033[K");
    h.now = 1s;
    h.phases.enter(1, Phase::ClosingWait);
    h.phases.tick();
    printLine("pipeline-agent: nothing was restored\n");
    h.phases.end();
    EXPECT_EQ(h.take(), "");
}

TEST(ProgressTerminal, IsCutToTheTerminalWidthAndClearedWhenDestroyed) {
    std::string written;
    {
        std::chrono::nanoseconds now{0};
        StreamPhases phases({JobKind::Backup, 1, 3, kMiB}, [&] { return now; });
        ProgressOutput out;
        out.terminal = true;
        out.columns = 30;
        out.write = [&](const std::string& text) { written += text; };
        ProgressLine line(phases.job(), out);
        phases.addObserver(&line);
        phases.enter(2, Phase::SetUp);
        EXPECT_EQ(written, "\rpipeline-agent: backup: 0 B\033[K") << "29 columns, no word cut";
        written.clear();
    }
    EXPECT_EQ(written, "\r\033[K");
    // Unregistered: printing goes on without it.
    printLine("pipeline-agent: no live line\n");
    EXPECT_EQ(written, "\r\033[K");
}

}  // namespace
