// check beside jobs at work.

#include "LocalFixture.h"

namespace fs = std::filesystem;

namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

}  // namespace

using LiveCheckTest = LocalPlatformTest;

// What the catalog lacks is a problem only once no job that could still
// enter it lives: a file and a completion marker of a live job (this
// process's) are its work in flight; the same left by a job whose writer is
// gone are reported, at once.
TEST_F(LiveCheckTest, FilesAndMarkersOfALiveJobAreInFlightAndOfADeadOneProblems) {
    const unsigned long long job = config.jobId;
    const ArchiveFileId_t id = backup("written by a job that still runs");
    const std::string store = localplatform::storeDirectory();
    runOnCatalog(store, "DELETE FROM archive_files WHERE afile_id = " + std::to_string(id.afileId));
    const std::string marker = store + "/jobs/" + std::to_string(job) + ".complete";
    std::ofstream(marker) << "job_id=" << job << "\n";

    auto live = localplatform::check(false);
    EXPECT_TRUE(live.problems.empty()) << joined(live.problems);
    EXPECT_EQ(live.running, 0u);  // counted only for problems

    // A failed job with a marker stays as the catalog has it; its lock goes.
    localplatform::failJob(job);
    const auto start = std::chrono::steady_clock::now();
    auto dead = localplatform::check(false);
    // Nothing runs: nothing to wait for.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const std::string data = store + "/files/" + std::to_string(id.afileId) + ".arch";
    ASSERT_EQ(dead.problems.size(), 2u) << joined(dead.problems);
    EXPECT_EQ(dead.problems[0], "job " + std::to_string(job) +
                                    " has a completion marker but the catalog says running");
    EXPECT_EQ(dead.problems[1], data + " is not in the catalog");
    EXPECT_EQ(dead.running, 0u);
}

// Beside a live job the problems of other jobs are still found, in the
// order a check finds them, and the live jobs are counted for the advice.
TEST_F(LiveCheckTest, DamageBesideALiveJobIsFoundAndTheLiveJobsCounted) {
    const unsigned long long done = config.jobId;
    const ArchiveFileId_t closed = backup("complete job's data");
    localplatform::completeJob(done);
    useJob(done + 1);
    backup("a job at work");  // its lock stays held here
    const std::string store = localplatform::storeDirectory();
    const std::string data = store + "/files/" + std::to_string(closed.afileId) + ".arch";
    {
        std::fstream flip(data, std::ios::in | std::ios::out | std::ios::binary);
        flip.put('X');
    }
    std::ofstream(store + "/files/stray") << "x";
    runOnCatalog(store, "UPDATE jobs SET state = 'running' WHERE job_id = " + std::to_string(done));
    fs::remove(store + "/jobs/" + std::to_string(done) + ".complete");

    const auto found = localplatform::check(false);
    ASSERT_EQ(found.problems.size(), 3u) << joined(found.problems);
    EXPECT_NE(found.problems[0].find("its data's SHA-256 is "), std::string::npos);
    EXPECT_EQ(found.problems[1], "job " + std::to_string(done) +
                                     " is running in the catalog but its writer is gone "
                                     "(cleanup removes it)");
    EXPECT_EQ(found.problems[2], store + "/files/stray is neither an archive file nor a description");
    EXPECT_EQ(found.running, 1u);
    localplatform::failJob(done + 1);
}
