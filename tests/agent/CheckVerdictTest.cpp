// What check makes of its findings: the advice it gives while jobs run or
// after a repair, the line and exit code it fails with, and the line it
// ends with when it does not fail.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "maintenance/CheckVerdict.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kStore = "/srv/store";
const std::string kRepair = "`check --repair` rebuilds the catalog from the files";
const std::string kCleanup = "`cleanup` removes what the dead jobs left";

localplatform::CheckResult withProblems(std::size_t count, Lines advice = {}) {
    localplatform::CheckResult result;
    for (std::size_t i = 1; i <= count; ++i)
        result.problems.push_back("problem " + std::to_string(i));
    result.advice = std::move(advice);
    return result;
}

}  // namespace

TEST(CheckAdvice, IsGivenOnlyForProblemsAndInTheStoresOrder) {
    localplatform::CheckResult healthy;
    healthy.advice = {kCleanup};
    EXPECT_TRUE(checkAdvice(healthy, false).empty());
    EXPECT_EQ(checkAdvice(withProblems(2, {kRepair, kCleanup}), false), (Lines{kRepair, kCleanup}));
}

// A catalog rebuilt beside live writers would lose their work: the repair
// advice gives way to waiting, said once and last, and cleanup stays.
TEST(CheckAdvice, WhileJobsRunSaysToCheckAgainInsteadOfRepairing) {
    localplatform::CheckResult result =
        withProblems(1, {kRepair, kCleanup, "`check --repair` once more"});
    result.running = 2;
    EXPECT_EQ(checkAdvice(result, false),
              (Lines{kCleanup, "2 jobs are running: check again after they end"}));
    result.running = 1;
    EXPECT_EQ(checkAdvice(result, true),
              (Lines{kCleanup, "1 job is running: check again after they end"}));
    // Nothing to wait for when no advice was to repair.
    localplatform::CheckResult noRepair = withProblems(1, {kCleanup});
    noRepair.running = 3;
    EXPECT_EQ(checkAdvice(noRepair, false), (Lines{kCleanup}));
}

TEST(CheckAdvice, AfterARepairRepairingIsNoAdvice) {
    EXPECT_EQ(checkAdvice(withProblems(1, {kRepair, kCleanup}), true), (Lines{kCleanup}));
}

TEST(CheckFindings, TheFramesProblemsComeAfterTheStoresAndTheirNotesBefore) {
    CheckFindings found;
    found.result.problems = {"store problem"};
    found.result.notes = {"store note"};
    found.result.unverified = {"store file"};
    found.frames.problems = {"frame problem 1", "frame problem 2"};
    found.frames.notes = {"frame note"};
    found.frames.unverified = {"frame part"};
    mergeFrameFindings(found);
    EXPECT_EQ(found.result.problems,
              (Lines{"store problem", "frame problem 1", "frame problem 2"}));
    EXPECT_EQ(found.result.notes, (Lines{"frame note", "store note"}));
    EXPECT_EQ(found.result.unverified, (Lines{"store file", "frame part"}));
}

TEST(CheckFailure, ProblemsFailTheJobWithTheirCountTheAdviceAndTheKeysRefusals) {
    CheckFindings found;
    found.result = withProblems(3);
    const auto [message, code] = thrown([&] {
        throwIfCheckFailed(found, {kCleanup, kRepair}, kStore, false);
    });
    EXPECT_EQ(message, "the store /srv/store has 3 problem(s); " + kCleanup + "; " + kRepair);
    EXPECT_EQ(code, 1);

    found.frames.keyRefused = {"job 7: the key does not open it", "job 8: no", "job 9: no"};
    EXPECT_EQ(thrown([&] { throwIfCheckFailed(found, {}, kStore, true); }).first,
              "the store /srv/store has 3 problem(s) that repair could not mend; and job 7: the "
              "key does not open it (and 2 more encrypted jobs the key does not open)");
}

// A script that checks its key is never told all is well.
TEST(CheckFailure, AKeyThatOpensNoJobFailsASoundStoreWithItsLineAlone) {
    CheckFindings found;
    found.frames.keyRefused = {"job 7: the key does not open it"};
    const auto [message, code] = thrown([&] { throwIfCheckFailed(found, {}, kStore, false); });
    EXPECT_EQ(message, "job 7: the key does not open it");
    EXPECT_EQ(code, 1);
    found.frames.keyRefused.push_back("job 8: neither");
    EXPECT_EQ(thrown([&] { throwIfCheckFailed(found, {}, kStore, false); }).first,
              "job 7: the key does not open it (and 1 more encrypted job the key does not open)");
}

TEST(CheckFailure, ASoundStoreDoesNotFail) {
    CheckFindings found;
    found.result.notes = {"job 3 is damaged"};
    found.result.unverified = {"a file"};
    EXPECT_NO_THROW(throwIfCheckFailed(found, {kCleanup}, kStore, false));
}

TEST(CheckSummary, CountsTheFilesAndEveryByteRead) {
    CheckFindings found;
    found.result.files = 1;
    found.result.bytes = 10;
    EXPECT_EQ(checkSummary(found, kStore),
              "the store /srv/store is sound: 1 archive file, 10 bytes checked");
    found.result.files = 4;
    found.frames.jobs = 2;
    found.frames.bytes = 5;
    EXPECT_EQ(checkSummary(found, kStore),
              "the store /srv/store is sound: 4 archive files, 15 bytes checked (5 of them the "
              "stored frames of 2 jobs with stages, read again)");
    // Jobs with stages looked at without a byte read: nothing to say of them.
    found.frames.bytes = 0;
    EXPECT_EQ(checkSummary(found, kStore),
              "the store /srv/store is sound: 4 archive files, 10 bytes checked");
}

TEST(CheckSummary, ABoundedCheckSaysWhatItDidNotRead) {
    CheckFindings found;
    found.result.files = 3;
    found.result.bytes = 7;
    found.result.unverified = {"file a"};
    EXPECT_EQ(checkSummary(found, kStore),
              "no problem found in the store /srv/store: 3 archive files, 7 bytes checked; the "
              "data of 1 closed file was not read, only its size compared");

    found.frames.unverified = {"part a"};
    found.result.unverified = {"part a"};
    EXPECT_EQ(checkSummary(found, kStore),
              "no problem found in the store /srv/store: 3 archive files, 7 bytes checked; the "
              "stored frames of 1 part of jobs with stages was not read, only its size compared");

    found.frames.unverified = {"part a", "part b"};
    found.result.unverified = {"file a", "file b", "part a", "part b"};
    EXPECT_EQ(checkSummary(found, kStore),
              "no problem found in the store /srv/store: 3 archive files, 7 bytes checked; the "
              "data of 2 closed files and the stored frames of 2 parts of jobs with stages were "
              "not read, only their size compared");
}
