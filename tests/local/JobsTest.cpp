#include <algorithm>
#include <set>
#include <thread>

#include "ChildProcess.h"
#include "LocalFixture.h"
#include "platform/QiSleep.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/StoreBeside.h"
#include "platform/local/StoreSession.h"

using localplatform::ArchiveFileRecord;
using localplatform::StoreError;
using LocalJobsTest = LocalPlatformTest;

namespace {

std::vector<uint32_t> afileIds(const std::vector<ArchiveFileRecord>& records) {
    std::vector<uint32_t> ids;
    for (const ArchiveFileRecord& record : records) ids.push_back(record.afileId);
    std::sort(ids.begin(), ids.end());
    return ids;
}

const localplatform::JobRecord* jobOf(const std::vector<localplatform::JobRecord>& jobs,
                                      unsigned long long id) {
    for (const auto& job : jobs) {
        if (job.jobId == id) return &job;
    }
    return nullptr;
}

bool exists(const std::string& path) {
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}

}  // namespace

TEST_F(LocalJobsTest, CleanupRemovesEveryFileOfJobsThatDidNotCompleteAndNothingElse) {
    const unsigned long long base = config.jobId * 10;
    useJob(base + 1);  // complete
    const ArchiveFileId_t complete = backup("complete");
    localplatform::completeJob(base + 1);

    useJob(base + 2);  // live: this process still holds it
    CreateRet_t live;
    auto liveWriter = create(&live);

    useJob(base + 3);  // failed, with a closed and an invalidated file
    const ArchiveFileId_t failedClosed = backup("closed");
    const ArchiveFileId_t failedInvalidated = backup("invalidated");
    ASSERT_EQ(invalidate({failedInvalidated.afileId}, failedInvalidated.trellanId), 0);
    localplatform::failJob(base + 3);

    const auto all = localplatform::listArchiveFiles();
    ASSERT_EQ(all.size(), 4u);
    std::vector<std::string> failedPaths;
    for (const auto& record : all) {
        if (record.jobId == base + 3) failedPaths.push_back(record.path);
    }

    const auto result = localplatform::cleanup();
    EXPECT_EQ(afileIds(result.removed),
              (std::vector<uint32_t>{failedClosed.afileId, failedInvalidated.afileId}));
    EXPECT_TRUE(result.refused.empty());
    EXPECT_TRUE(result.jobsFailed.empty());  // failJob marked it already
    for (const std::string& path : failedPaths) {
        EXPECT_FALSE(exists(path)) << path;
        EXPECT_FALSE(exists(path.substr(0, path.size() - 5) + ".meta")) << path;
    }
    EXPECT_EQ(afileIds(localplatform::listArchiveFiles()),
              (std::vector<uint32_t>{complete.afileId, live.afileId}));

    // The live writer goes on as if nothing happened.
    std::string error;
    EXPECT_TRUE(localplatform::writeStream(base + 2, live.groupNumber, "on", 2, &error));
    EXPECT_EQ(close(*liveWriter, idOf(live)), 0);
    EXPECT_EQ(state(idOf(live)), "closed");

    // Idempotent.
    const auto again = localplatform::cleanup();
    EXPECT_TRUE(again.removed.empty());
    EXPECT_TRUE(again.jobsFailed.empty());

    const auto jobs = localplatform::listJobs();
    ASSERT_NE(jobOf(jobs, base + 1), nullptr);
    EXPECT_EQ(jobOf(jobs, base + 1)->state, "complete");
    EXPECT_EQ(jobOf(jobs, base + 2)->state, "running");
    EXPECT_TRUE(jobOf(jobs, base + 2)->writerAlive);
    EXPECT_EQ(jobOf(jobs, base + 3)->state, "failed");
    EXPECT_TRUE(jobOf(jobs, base + 3)->files.empty());
    EXPECT_TRUE(exists(localplatform::storeDirectory() + "/jobs/" + std::to_string(base + 1) +
                       ".complete"));
}

TEST_F(LocalJobsTest, AJobIdTheStoreKnowsIsRefusedInEveryStateAndAcrossProcesses) {
    const unsigned long long job = config.jobId;
    localplatform::beginJob(job);
    const auto refused = [](unsigned long long id) {
        try {
            localplatform::beginJob(id);
        } catch (const StoreError& error) {
            return error.kind() == StoreError::Kind::JobExists;
        }
        return false;
    };
    EXPECT_TRUE(refused(job));  // running here
    backup("data");
    localplatform::completeJob(job);
    EXPECT_TRUE(refused(job));  // complete

    // Another process holds a job: this one may not begin it, nor create
    // files for it, and the catalog keeps the holder's entry.
    const unsigned long long other = job + 1;
    ChildProcess holder(
        [other] {
            try {
                localplatform::beginJob(other);
                return 0;
            } catch (...) {
                return 1;
            }
        },
        true);
    ASSERT_TRUE(holder.started());
    ASSERT_EQ(holder.ready(), 0);
    EXPECT_TRUE(refused(other));
    useJob(other);
    ZebArchive archive(nullptr, true, nullptr);
    CreateRet_t created;
    EXPECT_NE(tryCreate(archive, &created), 0);
    EXPECT_NE(log().find("createArchiveFile: cannot begin job " + std::to_string(other) +
                         ": the store already has job " + std::to_string(other) + " (running)"),
              std::string::npos)
        << log();
    EXPECT_TRUE(localplatform::listJobs().back().writerAlive);
    holder.release();
    EXPECT_EQ(holder.exitCode(), 0);
    EXPECT_TRUE(refused(other));  // a dead running job is known too

    // Two processes racing for one new id: exactly one wins.
    const unsigned long long raced = job + 2;
    const auto race = [raced] {
        try {
            localplatform::beginJob(raced);
            return 0;
        } catch (const StoreError& error) {
            return error.kind() == StoreError::Kind::JobExists ? 1 : 2;
        }
    };
    ChildProcess a(race, true), b(race, true);
    const int first = a.ready(), second = b.ready();
    EXPECT_EQ(std::set<int>({first, second}), (std::set<int>{0, 1}));
}

TEST_F(LocalJobsTest, AJobKilledWhileClosingLosesAllItsFilesClosedOnesIncluded) {
    const unsigned long long job = config.jobId + 7;
    std::string paths[2];
    ChildProcess child([&] {
        useJob(job);
        CreateRet_t one, two;
        auto first = create(&one);
        auto second = create(&two);
        std::string error;
        if (!localplatform::writeStream(job, 1, "one", 3, &error)) return 1;
        if (!localplatform::writeStream(job, 2, "two", 3, &error)) return 1;
        if (close(*first, idOf(one)) != 0) return 1;
        _exit(0);  // dies before closing the second
    });
    ASSERT_EQ(child.exitCode(), 0);
    const auto before = localplatform::listJobs();
    const auto* killed = jobOf(before, job);
    ASSERT_NE(killed, nullptr);
    EXPECT_EQ(killed->state, "running");
    EXPECT_FALSE(killed->writerAlive);
    ASSERT_EQ(killed->files.size(), 2u);
    EXPECT_EQ(killed->files[0].state, "closed");
    EXPECT_EQ(killed->files[1].state, "writing");

    const auto result = localplatform::cleanup();
    ASSERT_EQ(result.removed.size(), 2u);
    EXPECT_EQ(result.removed[0].state, "closed");
    EXPECT_EQ(result.removed[1].state, "writing");
    EXPECT_EQ(result.removed[1].size, 3u);
    EXPECT_EQ(result.jobsFailed, (std::vector<unsigned long long>{job}));
    for (const auto& file : killed->files) EXPECT_FALSE(exists(file.path)) << file.path;
    const auto after = localplatform::listJobs();
    EXPECT_EQ(jobOf(after, job)->state, "failed");
    EXPECT_TRUE(jobOf(after, job)->files.empty());

    // A closed file of a failed job never restores.
    int opened = 0;
    localplatform::ArchiveFileRecord record = killed->files[0];
    auto restore = open({record.trellanId, record.groupNumber, record.afileId}, &opened);
    EXPECT_NE(opened, 0);
}

TEST_F(LocalJobsTest, ALiveJobInAnotherProcessIsNeverCleanedAndItsDeathIsNoticed) {
    const unsigned long long job = config.jobId + 9;
    ChildProcess writer(
        [&] {
            useJob(job);
            CreateRet_t created;
            auto archive = create(&created);
            std::string error;
            if (!localplatform::writeStream(job, 1, "alive", 5, &error)) return 1;
            archive.release();  // stays open while the child waits
            return 0;
        },
        true);
    ASSERT_EQ(writer.ready(), 0);
    const auto result = localplatform::cleanup();
    EXPECT_TRUE(result.removed.empty());
    EXPECT_TRUE(result.jobsFailed.empty());
    const auto jobs = localplatform::listJobs();
    ASSERT_NE(jobOf(jobs, job), nullptr);
    EXPECT_TRUE(jobOf(jobs, job)->writerAlive);
    ASSERT_EQ(jobOf(jobs, job)->files.size(), 1u);
    EXPECT_TRUE(jobOf(jobs, job)->files[0].writerAlive);
    EXPECT_EQ(jobOf(jobs, job)->files[0].size, 5u);
    const std::string path = jobOf(jobs, job)->files[0].path;
    EXPECT_EQ(contentsOf(path), "alive");

    writer.release();
    EXPECT_EQ(writer.exitCode(), 0);
    EXPECT_EQ(localplatform::cleanup().removed.size(), 1u);
    EXPECT_FALSE(exists(path));
}

// A repair rebuilds the catalog from files/ only while no job runs, also
// when the catalog it replaces is too lost to name the running job.
TEST_F(LocalJobsTest, ARepairOfALostCatalogWaitsForAJobItNoLongerNames) {
    const unsigned long long job = config.jobId + 11;
    ChildProcess writer(
        [&] {
            useJob(job);
            CreateRet_t created;
            auto archive = create(&created);
            archive.release();  // stays open while the child waits
            return 0;
        },
        true);
    ASSERT_EQ(writer.ready(), 0);
    localplatform::closeStore();
    loseCatalog(config.storeDir);
    reconfigure();
    try {
        localplatform::check(true);
        ADD_FAILURE() << "repaired while job " << job << " ran";
    } catch (const StoreError& error) {
        EXPECT_STREQ(error.what(), ("check --repair: job " + std::to_string(job) +
                                    " is running; repair the store when no job runs")
                                       .c_str());
    }
    writer.release();
    EXPECT_EQ(writer.exitCode(), 0);
    EXPECT_TRUE(localplatform::check(true).problems.empty());
}

TEST_F(LocalJobsTest, CompleteJobRefusesJobsNotBegunHereAndFilesNotClosed) {
    const unsigned long long job = config.jobId;
    EXPECT_THROW(localplatform::completeJob(job), StoreError);
    CreateRet_t created;
    auto archive = create(&created);  // begins the job implicitly
    EXPECT_THROW(localplatform::completeJob(job), StoreError);
    EXPECT_FALSE(
        exists(localplatform::storeDirectory() + "/jobs/" + std::to_string(job) + ".complete"));
    EXPECT_EQ(close(*archive, idOf(created)), 0);
    localplatform::completeJob(job);
    EXPECT_EQ(localplatform::listJobs().front().state, "complete");
    // Done is done: failing it afterwards changes nothing.
    localplatform::failJob(job);
    EXPECT_EQ(localplatform::listJobs().front().state, "complete");
}

// A cleanup on another host settles a job whose writer it found gone (its
// liveness lock lost with its connection) by marking it failed before it
// removes a file; the writer, still running, must not complete it then.
TEST_F(LocalJobsTest, AJobACleanupSettledMeanwhileIsNeverCompleted) {
    const unsigned long long job = config.jobId;
    CreateRet_t created;
    auto archive = create(&created);
    ASSERT_EQ(close(*archive, idOf(created)), 0);
    runOnCatalog(localplatform::storeDirectory(),
                 "UPDATE jobs SET state = 'failed' WHERE job_id = " + std::to_string(job));
    try {
        localplatform::completeJob(job);
        ADD_FAILURE() << "a failed job was completed";
    } catch (const StoreError& error) {
        EXPECT_STREQ(error.what(),
                     ("completeJob: job " + std::to_string(job) +
                      " is failed, not running (a cleanup settled it); it is not complete")
                         .c_str());
    }
    EXPECT_FALSE(
        exists(localplatform::storeDirectory() + "/jobs/" + std::to_string(job) + ".complete"));
    EXPECT_EQ(jobOf(localplatform::listJobs(), job)->state, "failed");
}

TEST_F(LocalJobsTest, CrashPointKillsTheProcessAtTheCountedStep) {
    // Counting the steps of one backup of one file.
    const auto steps = [this](unsigned long killAt) {
        ChildProcess child([&] {
            localplatform::Config counting = config;
            counting.killAtStep = killAt;
            counting.skipPauses = true;
            localplatform::openStore(counting, localplatform::Access::ReadWrite, true);
            const unsigned long long job = config.jobId + killAt;
            useJob(job);
            backup("data");
            localplatform::completeJob(job);
            return 0;
        });
        const int status = child.wait();
        return WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
    };
    EXPECT_EQ(steps(1), SIGKILL);
    EXPECT_EQ(steps(5), SIGKILL);
    EXPECT_EQ(steps(1000), 0);  // a backup of one file has fewer steps

    // Every job the kills left behind is cleaned up; none completed.
    const auto result = localplatform::cleanup();
    for (const auto& job : localplatform::listJobs()) EXPECT_NE(job.state, "running") << job.jobId;
    EXPECT_EQ(localplatform::listArchiveFiles().size(), 1u);  // the completed one's
}

TEST_F(LocalJobsTest, SkippedPausesAreLoggedButNotSlept) {
    config.skipPauses = true;
    reconfigure();
    const auto start = std::chrono::steady_clock::now();
    QISLEEP_InTeRnAl(3600 * 1000, "BackupPipelineSetup", 232);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_NE(log().find("pausing 3600000 ms for BackupPipelineSetup:232"), std::string::npos);
}

// A copy that was killed leaves its job failed; once a cleanup removed its
// files, the job may be begun again under its id, with the time it began,
// and nothing else may.
TEST_F(LocalJobsTest, OnlyAFailedJobWithNoFileLeftIsBegunAgainAndItKeepsTheTimeGiven) {
    const unsigned long long job = config.jobId * 10;
    const std::string began = "2026-01-02T03:04:05.678Z";
    useJob(job);
    localplatform::beginJob(job, began);
    backup("copied in part");
    localplatform::failJob(job);
    const auto refusedAgain = [&](unsigned long long id) {
        try {
            localplatform::beginJobAgain(id, began);
        } catch (const StoreError& error) {
            return error.kind() == StoreError::Kind::JobExists;
        }
        return false;
    };
    EXPECT_TRUE(refusedAgain(job)) << "begun again with its file still there";
    EXPECT_TRUE(refusedAgain(job + 1)) << "an unknown job begun again";
    localplatform::cleanup();
    localplatform::beginJobAgain(job, began);
    const auto jobs = localplatform::listJobs();
    const localplatform::JobRecord* record = jobOf(jobs, job);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->state, "running");
    EXPECT_EQ(record->createdAt, began);
    EXPECT_TRUE(refusedAgain(job)) << "begun again while running here";
    backup("copied whole");
    localplatform::completeJob(job);
    EXPECT_TRUE(refusedAgain(job)) << "a complete job begun again";
    const auto after = localplatform::listJobs();
    ASSERT_NE(jobOf(after, job), nullptr);
    EXPECT_EQ(jobOf(after, job)->state, "complete");
}

// A store opened beside the open one is what the platform's calls work on,
// on the thread whose scope of it lives, and only there and then.
TEST_F(LocalJobsTest, AStoreBesideIsWhatAThreadsCallsSeeWhileItsScopeLives) {
    localplatform::Config other = config;
    other.storeDir = dir() + "/other";
    other.logFile.clear();
    const unsigned long long theirs = config.jobId * 10 + 1;
    localplatform::openStore(other, localplatform::Access::ReadWrite, true);
    localplatform::beginJob(theirs);
    localplatform::failJob(theirs);
    localplatform::openStore(config, localplatform::Access::ReadWrite, true);
    const std::string ours = localplatform::storeDirectory();

    const localplatform::StoreBeside beside(other);
    EXPECT_EQ(beside.directory(), std::filesystem::canonical(dir() + "/other").string());
    {
        const localplatform::StoreBeside::Scope scope(beside);
        EXPECT_EQ(localplatform::storeDirectory(), beside.directory());
        const auto jobs = localplatform::listJobs();
        EXPECT_NE(jobOf(jobs, theirs), nullptr);
        std::string elsewhere;
        std::thread([&] { elsewhere = localplatform::storeDirectory(); }).join();
        EXPECT_EQ(elsewhere, ours) << "another thread's calls went to the store beside";
    }
    EXPECT_EQ(localplatform::storeDirectory(), ours);
    const auto jobs = localplatform::listJobs();
    EXPECT_EQ(jobOf(jobs, theirs), nullptr);
}

// A backup killed while it wrote is taken over: its files closed as they
// stand, the job kept running for more streams; not while its writer lives,
// nor a job in any other state; a kill on the way leaves it to take over
// again.
TEST_F(LocalJobsTest, AKilledJobIsTakenOverWithItsFilesClosedAsTheyStand) {
    if (onPostgres()) GTEST_SKIP() << "the same catalog calls as on SQLite";
    const unsigned long long job = config.jobId * 10 + 7;
    // A writer that closed one file and wrote half of another: it waits to
    // be killed once it did (stop()).
    struct Writer {
        pid_t pid = -1;
        void stop() {
            if (pid <= 0) return;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
        ~Writer() { stop(); }
    };
    const auto startWriter = [&](unsigned long long id, Writer& writer) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        writer.pid = ::fork();
        if (writer.pid == 0) {
            ::close(ready[0]);
            useJob(id);
            backup("closed whole");
            CreateRet_t created;
            auto archive = create(&created);
            std::string error;
            localplatform::writeStream(id, created.groupNumber, "half of it", 10, &error);
            const char byte = 1;
            if (::write(ready[1], &byte, 1) != 1) _exit(1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
    };
    const auto killedWriter = [&](unsigned long long id) {
        Writer writer;
        startWriter(id, writer);
        writer.stop();
    };
    const auto takenOver = [](unsigned long long id) -> std::string {
        try {
            localplatform::resumeJob(id);
            return "";
        } catch (const StoreError& error) {
            return error.what();
        }
    };
    {
        Writer writer;
        startWriter(job, writer);
        EXPECT_EQ(takenOver(job),
                  "job " + std::to_string(job) + " cannot be taken over: its writer still runs");
    }
    const std::vector<ArchiveFileRecord> files = localplatform::resumeJob(job);
    ASSERT_EQ(files.size(), 2u);
    for (const ArchiveFileRecord& file : files) EXPECT_EQ(file.state, "closed");
    EXPECT_EQ(files[1].size, 10u);
    EXPECT_EQ(files[1].sha256, sha256Hex("half of it"));
    EXPECT_EQ(takenOver(job),
              "job " + std::to_string(job) + " cannot be taken over: this process writes it");
    // The next stream is the third; the job completes and checks sound.
    useJob(job);
    const ArchiveFileId_t third = backup("the rest");
    localplatform::ArchiveFileRecord record;
    ASSERT_TRUE(localplatform::createdArchiveFile(job, 3, &record));
    EXPECT_EQ(record.afileId, third.afileId);
    localplatform::completeJob(job);
    const auto checked = localplatform::check(false);
    EXPECT_TRUE(checked.problems.empty()) << checked.problems.front();
    EXPECT_EQ(jobOf(localplatform::listJobs(), job)->state, "complete");

    EXPECT_EQ(takenOver(job),
              "job " + std::to_string(job) + " cannot be taken over: it is complete");
    EXPECT_EQ(takenOver(job + 1), "job " + std::to_string(job + 1) +
                                      " cannot be taken over: the store has no such job");
    killedWriter(job + 2);
    localplatform::cleanup();
    EXPECT_EQ(takenOver(job + 2),
              "job " + std::to_string(job + 2) + " cannot be taken over: it is failed");

    // Killed at every step of the take-over, then taken over again: the
    // files end closed at the bytes they hold.
    for (unsigned long step = 1;; ++step) {
        const unsigned long long id = job + 10 + step;
        killedWriter(id);
        ChildProcess child([&] {
            localplatform::Config counting = config;
            counting.killAtStep = step;
            localplatform::openStore(counting, localplatform::Access::ReadWrite, true);
            localplatform::resumeJob(id);
            return 0;
        });
        const int status = child.wait();
        const std::vector<ArchiveFileRecord> again = localplatform::resumeJob(id);
        ASSERT_EQ(again.size(), 2u) << step;
        EXPECT_EQ(again[1].size, 10u) << step;
        EXPECT_EQ(again[1].sha256, sha256Hex("half of it")) << step;
        useJob(id);
        localplatform::completeJob(id);
        if (!WIFSIGNALED(status)) break;
        ASSERT_LT(step, 50u) << "the take-over never ended";
    }
    const auto settled = localplatform::check(false);
    EXPECT_TRUE(settled.problems.empty()) << settled.problems.front();
}
