// check beside jobs at work, and the typed steps observers are told of.

#include <mutex>

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
    EXPECT_EQ(found.problems[2],
              store + "/files/stray is neither an archive file nor a description");
    EXPECT_EQ(found.running, 1u);
    localplatform::failJob(done + 1);
}

// Every step a backup and a restore make is told by kind, with the stream
// it concerns where the platform knows it, and under its name as before.
TEST_F(LiveCheckTest, StepsAreToldByKindWithTheirStream) {
    std::mutex mutex;
    std::vector<localplatform::StepEvent> events;
    std::vector<std::string> names;
    localplatform::setStepEventObserver([&](const localplatform::StepEvent& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        names.push_back(event.name ? event.name : "?");
    });
    const auto told = [&](localplatform::StepKind kind) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<unsigned long> streams;
        for (const auto& event : events) {
            if (event.kind == kind) streams.push_back(event.stream);
        }
        return streams;
    };
    using localplatform::StepKind;

    const ArchiveFileId_t first = backup("stream one");
    const ArchiveFileId_t second = backup("stream two");
    EXPECT_EQ(told(StepKind::ArchiveFileClosed), (std::vector<unsigned long>{1, 2}));
    EXPECT_EQ(second.groupNumber, 2u);
    localplatform::completeJob(config.jobId);

    int result = 0;
    CZebNetwork* head = nullptr;
    auto reader = open(second, &result, &head);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(sendOpen(head, second, 7).code(), 0);  // the library's restore stream 7
    EXPECT_EQ(sendSeek(head, 0).code(), 0);
    EXPECT_EQ(sendEmpty(head, FSR_MSG_CLOSE_ARCHIVE).code(), 0);
    EXPECT_EQ(told(StepKind::ArchiveFileOpened), (std::vector<unsigned long>{2}));
    EXPECT_EQ(told(StepKind::SeekSent), (std::vector<unsigned long>{7}));
    EXPECT_EQ(told(StepKind::CloseArchiveSent), (std::vector<unsigned long>{7}));
    EXPECT_EQ(told(StepKind::Pause), (std::vector<unsigned long>{}));
    reader.reset();

    // The names stay those the step counter and a name observer know.
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(localplatform::stepKindOf(names[i].c_str(), events[i].detail),
                      events[i].kind)
                << names[i];
        }
    }
    localplatform::setStepEventObserver({});
    (void)first;
}
