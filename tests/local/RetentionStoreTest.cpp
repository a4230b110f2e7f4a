// Deleting jobs on purpose and marking them damaged, on the platform: what
// is refused before anything changes, the holds of restores, a deletion cut
// short and finished by cleanup, and catalogs made before these states.

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "LocalFixture.h"

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/StoreSession.h"

namespace fs = std::filesystem;

namespace {

using localplatform::StoreError;

class LocalRetentionTest : public LocalPlatformTest {
protected:
    // A complete job of two archive files; their data paths in *paths.
    unsigned long long completeJob(unsigned long long job, std::vector<std::string>* paths) {
        useJob(job);
        backup("first part of " + std::to_string(job));
        backup("second part of " + std::to_string(job));
        localplatform::completeJob(job);
        for (const auto& record : localplatform::listArchiveFiles()) {
            if (record.jobId == job) paths->push_back(record.path);
        }
        EXPECT_EQ(paths->size(), 2u);
        return job;
    }

    std::string stateOf(unsigned long long job) {
        for (const auto& record : localplatform::listJobs()) {
            if (record.jobId == job) return record.state;
        }
        return "gone";
    }

    std::string marker(unsigned long long job) const {
        return config.storeDir + "/jobs/" + std::to_string(job) + ".complete";
    }

    // The kind and text of what deleting jobs throws; Failed with "" when
    // nothing is thrown.
    static StoreError::Kind refusal(const std::vector<unsigned long long>& jobs,
                                    std::string* what) {
        try {
            localplatform::deleteJobs(jobs);
        } catch (const StoreError& error) {
            *what = error.what();
            return error.kind();
        }
        what->clear();
        return StoreError::Kind::Failed;
    }
};

TEST_F(LocalRetentionTest, ARefusedDeletionChangesNothingAndADeletionRemovesOnlyItsJob) {
    const unsigned long long base = config.jobId * 10;
    std::vector<std::string> kept, gone;
    completeJob(base + 1, &kept);
    completeJob(base + 2, &gone);
    useJob(base + 3);  // live: this process writes it
    CreateRet_t live;
    auto writer = create(&live);

    std::string what;
    EXPECT_EQ(refusal({base + 2, 999}, &what), StoreError::Kind::Unusable);
    EXPECT_EQ(what, "the store has no job 999");
    EXPECT_EQ(refusal({base + 2, base + 3}, &what), StoreError::Kind::Unusable);
    EXPECT_EQ(what, "job " + std::to_string(base + 3) +
                        " is running, not complete; only complete jobs are deleted (cleanup "
                        "removes what failed and crashed jobs left)");
    EXPECT_EQ(stateOf(base + 2), "complete");
    for (const auto& path : gone) EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(fs::exists(marker(base + 2)));

    const auto result = localplatform::deleteJobs({base + 2, base + 2});
    EXPECT_EQ(result.jobs, (std::vector<unsigned long long>{base + 2}));
    ASSERT_EQ(result.removed.size(), 2u);
    EXPECT_EQ(result.removed[0].path, gone[0]);
    EXPECT_EQ(result.bytes, std::string("first part of " + std::to_string(base + 2)).size() +
                                std::string("second part of " + std::to_string(base + 2)).size());
    for (const auto& path : gone) {
        EXPECT_FALSE(fs::exists(path)) << path;
        EXPECT_FALSE(fs::exists(path.substr(0, path.size() - 4) + "meta")) << path;
    }
    EXPECT_FALSE(fs::exists(marker(base + 2)));
    EXPECT_EQ(stateOf(base + 2), "gone");
    EXPECT_EQ(stateOf(base + 1), "complete");
    for (const auto& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(localplatform::check(false).problems.empty());
}

TEST_F(LocalRetentionTest, ARestoresHoldKeepsItsJobFromDeletionUntilItEnds) {
    const unsigned long long job = config.jobId * 10 + 1;
    std::vector<std::string> paths;
    completeJob(job, &paths);
    {
        const auto hold = localplatform::holdJobForReading(job);
        EXPECT_EQ(hold->state(), "complete");
        const auto second = localplatform::holdJobForReading(job);  // readers share it
        std::string what;
        EXPECT_EQ(refusal({job}, &what), StoreError::Kind::Failed);
        EXPECT_EQ(what, "job " + std::to_string(job) +
                            " is in use (a restore reads it, or another command deletes it); not "
                            "deleted");
        EXPECT_EQ(stateOf(job), "complete");
        for (const auto& path : paths) EXPECT_TRUE(fs::exists(path)) << path;
    }
    localplatform::deleteJobs({job});
    EXPECT_EQ(stateOf(job), "gone");
}

// Jobs that others act on between a caller's listing and its deletion: one
// another command deleted, or deletes now, counts as done; one a restore
// reads is skipped, and the others go.
TEST_F(LocalRetentionTest, JobsGoneOrInUseMeanwhileAreCountedDoneOrSkippedWhenAsked) {
    const unsigned long long base = config.jobId * 10;
    std::vector<std::string> gone, read, deleted, held;
    completeJob(base + 1, &gone);
    completeJob(base + 2, &read);
    completeJob(base + 3, &deleted);
    completeJob(base + 4, &held);
    localplatform::deleteJobs({base + 1});  // another command's deletion
    localplatform::DeletionOptions options;
    options.goneIsDone = true;
    options.skipInUse = true;
    {
        const auto hold = localplatform::holdJobForReading(base + 2);
        const auto result = localplatform::deleteJobs({base + 1, base + 2, base + 3}, options);
        EXPECT_EQ(result.jobs, (std::vector<unsigned long long>{base + 3}));
        EXPECT_EQ(result.deletedElsewhere, (std::vector<unsigned long long>{base + 1}));
        EXPECT_EQ(result.skipped, (std::vector<unsigned long long>{base + 2}));
    }
    for (const auto& path : read) EXPECT_TRUE(fs::exists(path)) << path;
    for (const auto& path : deleted) EXPECT_FALSE(fs::exists(path)) << path;
    // A job gone before is not locked again: no lock file comes back.
    EXPECT_FALSE(fs::exists(config.storeDir + "/jobs/" + std::to_string(base + 1) + ".lock"));

    // Marked deleting by a deleter that holds it (a hold stands in for its
    // lock): that deleter's to finish, counted done here.
    {
        const auto hold = localplatform::holdJobForReading(base + 4);
        runOnCatalog(config.storeDir, "UPDATE jobs SET state = 'deleting' WHERE job_id = " +
                                          std::to_string(base + 4));
        const auto result = localplatform::deleteJobs({base + 4}, options);
        EXPECT_EQ(result.deletedElsewhere, (std::vector<unsigned long long>{base + 4}));
        EXPECT_TRUE(result.jobs.empty() && result.skipped.empty());
        for (const auto& path : held) EXPECT_TRUE(fs::exists(path)) << path;
    }
    EXPECT_EQ(localplatform::cleanup().jobsDeleted, (std::vector<unsigned long long>{base + 4}));
}

// What a caller looks at before a batch is marked, it sees under the
// batch's locks: no reader can take one of its jobs meanwhile, and a throw
// leaves the batch whole and unlocked, the batches before it deleted.
TEST_F(LocalRetentionTest, BeforeMarkingRunsUnderTheBatchsLocksAndAThrowLeavesItWhole) {
    const unsigned long long base = config.jobId * 10;
    std::vector<std::string> first, second, third;
    completeJob(base + 1, &first);
    completeJob(base + 2, &second);
    completeJob(base + 3, &third);
    localplatform::DeletionOptions options;
    options.skipInUse = true;
    std::vector<std::vector<unsigned long long>> seen;
    std::vector<std::string> holds;
    options.beforeMarking = [&](const std::vector<unsigned long long>& locked) {
        seen.push_back(locked);
        for (const unsigned long long job : locked) {
            EXPECT_EQ(stateOf(job), "complete");  // not marked yet
            try {
                localplatform::holdJobForReading(job);
                holds.push_back("held " + std::to_string(job));
            } catch (const StoreError& error) {
                holds.push_back(error.what());
            }
        }
        if (std::find(locked.begin(), locked.end(), base + 3) != locked.end()) {
            throw std::runtime_error("refused under the lock");
        }
    };
    {
        // A job skipped as in use is never handed over.
        const auto hold = localplatform::holdJobForReading(base + 1);
        const auto result = localplatform::deleteJobs({base + 1, base + 2}, options);
        EXPECT_EQ(result.jobs, (std::vector<unsigned long long>{base + 2}));
        EXPECT_EQ(result.skipped, (std::vector<unsigned long long>{base + 1}));
    }
    ASSERT_EQ(seen, (std::vector<std::vector<unsigned long long>>{{base + 2}}));
    EXPECT_EQ(holds, (std::vector<std::string>{"job " + std::to_string(base + 2) +
                                               " is in use by another command (a deletion, or "
                                               "its backup); it cannot be restored now"}));

    try {
        localplatform::deleteJobs({base + 3}, options);
        ADD_FAILURE() << "the refusal under the lock did not reach the caller";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "refused under the lock");
    }
    EXPECT_EQ(stateOf(base + 3), "complete");
    EXPECT_TRUE(fs::exists(marker(base + 3)));
    for (const auto& path : third) EXPECT_TRUE(fs::exists(path)) << path;
    // Its lock went with the refusal: a reader holds it, a deletion takes it.
    EXPECT_EQ(localplatform::holdJobForReading(base + 3)->state(), "complete");
    EXPECT_EQ(localplatform::deleteJobs({base + 3}).jobs,
              (std::vector<unsigned long long>{base + 3}));
    EXPECT_TRUE(localplatform::check(false).problems.empty());
}

TEST_F(LocalRetentionTest, ADeletionCutShortLeavesItsJobDeletingUntilCleanupFinishesIt) {
    const unsigned long long base = config.jobId * 10;
    std::vector<std::string> kept, paths;
    completeJob(base + 1, &kept);
    completeJob(base + 2, &paths);
    // The second removal fails: the marker went, the first data file has not.
    config.storageFaults = "op=remove,nth=2,errno=EIO";
    reconfigure();
    EXPECT_THROW(localplatform::deleteJobs({base + 2}), StoreError);
    config.storageFaults.clear();
    reconfigure();
    EXPECT_EQ(stateOf(base + 2), "deleting");
    EXPECT_FALSE(fs::exists(marker(base + 2)));
    try {
        localplatform::holdJobForReading(base + 2);
        ADD_FAILURE() << "a job being deleted was held for reading";
    } catch (const StoreError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "job " + std::to_string(base + 2) + " is being deleted; it cannot be restored");
    }
    const auto found = localplatform::check(false);
    ASSERT_EQ(found.problems.size(), 1u);
    EXPECT_EQ(found.problems[0], "job " + std::to_string(base + 2) +
                                     " was being deleted when its deleter stopped (cleanup "
                                     "finishes it)");
    EXPECT_EQ(found.advice,
              (std::vector<std::string>{"`cleanup` removes what jobs that did not complete left"}));

    const auto cleaned = localplatform::cleanup();
    EXPECT_EQ(cleaned.jobsDeleted, (std::vector<unsigned long long>{base + 2}));
    EXPECT_EQ(stateOf(base + 2), "gone");
    for (const auto& path : paths) EXPECT_FALSE(fs::exists(path)) << path;
    for (const auto& path : kept) EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_TRUE(localplatform::check(false).problems.empty());
    EXPECT_TRUE(localplatform::cleanup().jobsDeleted.empty());
}

TEST_F(LocalRetentionTest, AJobMarkedDamagedIsKeptByCleanupAndNotedByCheck) {
    const unsigned long long base = config.jobId * 10;
    std::vector<std::string> paths;
    completeJob(base + 1, &paths);
    fs::resize_file(paths[1], 3);
    auto found = localplatform::check(false);
    ASSERT_EQ(found.problems.size(), 1u);
    EXPECT_EQ(found.advice.size(), 1u);
    EXPECT_NE(found.advice.at(0).find("`delete " + std::to_string(base + 1) + "`"),
              std::string::npos);

    try {
        localplatform::markJobsDamaged({base + 1, 999});
        ADD_FAILURE() << "an unknown job was marked";
    } catch (const StoreError& error) {
        EXPECT_EQ(error.kind(), StoreError::Kind::Unusable);
    }
    EXPECT_EQ(stateOf(base + 1), "complete");  // all or nothing
    localplatform::markJobsDamaged({base + 1});
    localplatform::markJobsDamaged({base + 1});  // marked already: stays so
    EXPECT_EQ(stateOf(base + 1), "damaged");
    found = localplatform::check(false);
    EXPECT_TRUE(found.problems.empty());
    EXPECT_TRUE(found.advice.empty());
    ASSERT_EQ(found.notes.size(), 2u);
    EXPECT_NE(found.notes[0].find("(job " + std::to_string(base + 1) + " is marked damaged)"),
              std::string::npos);
    EXPECT_TRUE(localplatform::cleanup().removed.empty());
    EXPECT_TRUE(fs::exists(paths[0]));
    EXPECT_EQ(localplatform::holdJobForReading(base + 1)->state(), "damaged");
    localplatform::deleteJobs({base + 1});
    EXPECT_EQ(stateOf(base + 1), "gone");
}

// A catalog made before jobs could be deleting or damaged takes the new
// states: SQLite's is upgraded when opened for writing, PostgreSQL's check
// widened the first time a job takes one.
TEST_F(LocalRetentionTest, ACatalogMadeBeforeTheseStatesTakesThem) {
    const unsigned long long base = config.jobId * 10;
    std::vector<std::string> first, second;
    completeJob(base + 1, &first);
    completeJob(base + 2, &second);
    localplatform::closeStore();
    if (onPostgres()) {
        runOnCatalog(config.storeDir,
                     "ALTER TABLE jobs DROP CONSTRAINT jobs_state_check, ADD CONSTRAINT "
                     "jobs_state_check CHECK(state IN ('running','complete','failed'))");
    } else {
        runOnCatalog(config.storeDir,
                     "CREATE TABLE old_jobs(job_id INTEGER PRIMARY KEY, state TEXT NOT NULL "
                     "CHECK(state IN ('running','complete','failed')), created_at TEXT NOT NULL, "
                     "updated_at TEXT NOT NULL); INSERT INTO old_jobs SELECT * FROM jobs; "
                     "DROP TABLE jobs; ALTER TABLE old_jobs RENAME TO jobs; "
                     "PRAGMA user_version=2;");
        localplatform::openStore(config, localplatform::Access::ReadOnly, false);
        EXPECT_EQ(stateOf(base + 1), "complete");  // read as it is
        localplatform::closeStore();
    }
    reconfigure();
    localplatform::markJobsDamaged({base + 1});
    localplatform::deleteJobs({base + 2});
    EXPECT_EQ(stateOf(base + 1), "damaged");
    EXPECT_EQ(stateOf(base + 2), "gone");
    for (const auto& path : second) EXPECT_FALSE(fs::exists(path)) << path;
}

}  // namespace
