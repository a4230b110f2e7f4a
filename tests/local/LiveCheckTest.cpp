// check beside jobs at work, and the typed steps observers are told of.

#include <signal.h>
#include <sys/wait.h>

#include <mutex>

#include "ChildProcess.h"
#include "LocalFixture.h"

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/StepHooks.h"
#include "platform/local/StoreSession.h"

namespace fs = std::filesystem;

namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

// check's line for a data file whose writer (job) was killed after making it
// and before the catalog entered it.
std::string leftByKilledWriter(const std::string& data, unsigned long long job) {
    return data + " is not in the catalog: its description gives it to job " +
           std::to_string(job) +
           ", whose writer stopped after making it and before entering it in the catalog, as a "
           "killed backup does (cleanup removes it)";
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
    EXPECT_EQ(dead.problems[1], leftByKilledWriter(data, job));
    EXPECT_EQ(dead.running, 0u);
}

// A writer killed after it made its file and description and before the
// catalog entered the file: check says whose file it is and names cleanup,
// beside a live writer too (cleanup leaves live jobs alone), never the
// repair; cleanup then removes it while the live writer goes on.
TEST_F(LiveCheckTest, AFileAKilledWriterLeftBeforeItsEntryIsCleanupsBesideALiveWriterToo) {
    const unsigned long long killed = config.jobId + 20, live = config.jobId + 21;
    ChildProcess writer([&] {
        useJob(killed);
        localplatform::setStepEventObserver([](const localplatform::StepEvent& event) {
            if (std::string(event.name) == "description written") ::raise(SIGKILL);
        });
        CreateRet_t created;
        auto archive = create(&created);
        return 0;
    });
    const int status = writer.wait();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    ChildProcess holder(
        [&] {
            useJob(live);
            CreateRet_t created;
            auto archive = create(&created);
            archive.release();  // stays open while the child waits
            return 0;
        },
        true);
    ASSERT_EQ(holder.ready(), 0);
    ASSERT_EQ(localplatform::listArchiveFiles().size(), 1u);
    const uint32_t liveFile = localplatform::listArchiveFiles().front().afileId;
    const std::string store = localplatform::storeDirectory();
    const std::string left = store + "/files/" + std::to_string(liveFile == 1 ? 2 : 1) + ".arch";
    ASSERT_TRUE(fs::exists(left));

    const auto found = localplatform::check(false);
    ASSERT_EQ(found.problems.size(), 2u) << joined(found.problems);
    EXPECT_EQ(found.problems[0], "job " + std::to_string(killed) +
                                     " is running in the catalog but its writer is gone "
                                     "(cleanup removes it)");
    EXPECT_EQ(found.problems[1], leftByKilledWriter(left, killed));
    EXPECT_EQ(found.running, 1u);
    EXPECT_EQ(found.advice,
              (std::vector<std::string>{"`cleanup` removes what jobs that did not complete left"}));

    const auto cleaned = localplatform::cleanup();
    EXPECT_EQ(cleaned.removed.size(), 1u);
    EXPECT_EQ(cleaned.jobsFailed, (std::vector<unsigned long long>{killed}));
    EXPECT_FALSE(fs::exists(left));
    const auto after = localplatform::check(false);
    EXPECT_TRUE(after.problems.empty()) << joined(after.problems);
    holder.release();
    EXPECT_EQ(holder.exitCode(), 0);
}

// A creation that commits, and a job that completes and lets its lock go,
// between the check's second view of the catalog and its look at the
// writers: the file that view lacks was a live job's, no problem.
TEST_F(LiveCheckTest, AJobThatEndsBetweenTheViewAndTheLookAtTheWritersLeftNoProblem) {
    const unsigned long long job = config.jobId;
    const ArchiveFileId_t id = backup("entered only as the check reads the catalog again");
    const std::string store = localplatform::storeDirectory();
    const std::string file = std::to_string(id.afileId);
    // Its entry taken out, as if its creation had not committed yet.
    runOnCatalog(store, "CREATE TABLE held AS SELECT * FROM archive_files WHERE afile_id = " +
                            file + "; DELETE FROM archive_files WHERE afile_id = " + file);
    bool ended = false;
    localplatform::setStepEventObserver([&](const localplatform::StepEvent& event) {
        if (ended || std::string(event.name) != "check: catalog read again") return;
        ended = true;
        runOnCatalog(store, "INSERT INTO archive_files SELECT * FROM held; DROP TABLE held");
        localplatform::completeJob(job);
    });
    const auto found = localplatform::check(false);
    localplatform::setStepEventObserver({});
    EXPECT_TRUE(ended);
    EXPECT_TRUE(found.problems.empty()) << joined(found.problems);
    EXPECT_TRUE(localplatform::check(false).problems.empty());
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
