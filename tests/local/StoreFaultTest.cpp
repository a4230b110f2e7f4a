// The platform on a store whose file operations fail (Config::storageFaults):
// a failed backup fails cleanly, never closes a file whose bytes or
// description may be lost, and leaves a store that cleanup makes healthy.

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "LocalFixture.h"

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/StoreSession.h"

using localplatform::ArchiveFileRecord;
using localplatform::StoreError;

namespace {

class LocalStoreFaultTest : public LocalPlatformTest {
protected:
    // Opens the store again with the fault plan; the store exists, so the
    // counting starts with this test's own operations.
    void withFaults(const std::string& plan) {
        config.storageFaults = plan;
        reconfigure();
    }

    // What opening the store again with config throws, its kind and line;
    // none, and a failed test, when it opens.
    std::optional<std::pair<StoreError::Kind, std::string>> openingError() {
        try {
            reconfigure();
        } catch (const StoreError& error) {
            return std::make_pair(error.kind(), std::string(error.what()));
        }
        ADD_FAILURE() << "the store opened";
        return std::nullopt;
    }

    // The job failed, its files cleaned up: the store is healthy and holds
    // nothing of the job.
    void expectCleanedUp(unsigned long long job) {
        localplatform::failJob(job);
        const auto cleaned = localplatform::cleanup();
        EXPECT_TRUE(cleaned.refused.empty());
        const auto checked = localplatform::check(false);
        EXPECT_TRUE(checked.problems.empty()) << checked.problems.front();
        std::size_t files = 0;
        for (const auto& entry :
             std::filesystem::directory_iterator(localplatform::storeDirectory() + "/files")) {
            (void)entry;
            ++files;
        }
        EXPECT_EQ(files, 0u);
    }
};

TEST_F(LocalStoreFaultTest, ABackupWhoseAppendRunsOutOfSpaceFailsAndCleanupLeavesAHealthyStore) {
    // The first append is the description's header, the second the data's.
    withFaults("op=append,nth=2,errno=ENOSPC");
    CreateRet_t created;
    auto archive = create(&created);
    const std::string data = bytes(3000);
    std::string error;
    EXPECT_FALSE(
        localplatform::writeStream(config.jobId, created.groupNumber, data.data(), 1000, &error));
    EXPECT_EQ(error, "cannot write " + localplatform::storeDirectory() + "/files/" +
                         std::to_string(created.afileId) + ".arch: No space left on device");
    // Later writes go through, but the file never closes.
    EXPECT_TRUE(
        localplatform::writeStream(config.jobId, created.groupNumber, data.data(), 1000, &error));
    EXPECT_NE(close(*archive, idOf(created)), 0);
    EXPECT_EQ(state(idOf(created)), "writing");
    EXPECT_NE(contentsOf(dir() + "/log.txt").find("lost a write; it is not closed"),
              std::string::npos);
    archive.reset();
    expectCleanedUp(config.jobId);
}

TEST_F(LocalStoreFaultTest, AShortDataWriteIsNeverClosedAsTheBytesGiven) {
    withFaults("op=append,nth=2,short,errno=EDQUOT");
    CreateRet_t created;
    auto archive = create(&created);
    const std::string data = bytes(1000);
    std::string error;
    EXPECT_FALSE(
        localplatform::writeStream(config.jobId, created.groupNumber, data.data(), 1000, &error));
    EXPECT_NE(error.find("Disk quota exceeded"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(localplatform::storeDirectory() + "/files/" +
                                         std::to_string(created.afileId) + ".arch"),
              500u);
    EXPECT_NE(close(*archive, idOf(created)), 0);
    EXPECT_EQ(state(idOf(created)), "writing");
    archive.reset();
    expectCleanedUp(config.jobId);
}

TEST_F(LocalStoreFaultTest, AFailedSyncOfTheDescriptionNeverYieldsAClosedFileNotEvenOnARetry) {
    // Syncs: the description's header at creation, the data, then the
    // description's closing line.
    withFaults("op=sync,nth=3,errno=EIO");
    CreateRet_t created;
    auto archive = create(&created);
    const std::string data = bytes(1500);
    std::string error;
    ASSERT_TRUE(localplatform::writeStream(config.jobId, created.groupNumber, data.data(),
                                           data.size(), &error))
        << error;
    EXPECT_NE(close(*archive, idOf(created)), 0);
    EXPECT_EQ(state(idOf(created)), "writing");
    EXPECT_NE(close(*archive, idOf(created)), 0);
    EXPECT_EQ(state(idOf(created)), "writing");
    const std::string log = contentsOf(dir() + "/log.txt");
    EXPECT_NE(log.find("cannot write " + localplatform::storeDirectory() + "/files/" +
                       std::to_string(created.afileId) + ".meta: Input/output error"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("lost a write of its description; it is not closed"), std::string::npos);
    EXPECT_THROW(localplatform::completeJob(config.jobId), StoreError);
    archive.reset();
    expectCleanedUp(config.jobId);
}

TEST_F(LocalStoreFaultTest, AFailedSyncOfTheDataIsNotForgottenByASecondClose) {
    withFaults("op=sync,nth=2,errno=EIO");
    CreateRet_t created;
    auto archive = create(&created);
    std::string error;
    const std::string data = bytes(100);
    ASSERT_TRUE(localplatform::writeStream(config.jobId, created.groupNumber, data.data(),
                                           data.size(), &error));
    EXPECT_NE(close(*archive, idOf(created)), 0);
    EXPECT_NE(close(*archive, idOf(created)), 0);
    EXPECT_EQ(state(idOf(created)), "writing");
    archive.reset();
    expectCleanedUp(config.jobId);
}

TEST_F(LocalStoreFaultTest, ACompletionMarkerThatCannotBeMadeLeavesTheJobIncomplete) {
    withFaults("op=create,in=/jobs/,nth=1,errno=EROFS");
    const ArchiveFileId_t id = backup(bytes(800));
    try {
        localplatform::completeJob(config.jobId);
        FAIL() << "completeJob went through";
    } catch (const StoreError& failure) {
        EXPECT_EQ(std::string(failure.what()), "cannot write " + localplatform::storeDirectory() +
                                                   "/jobs/" + std::to_string(config.jobId) +
                                                   ".complete: Read-only file system");
    }
    EXPECT_FALSE(std::filesystem::exists(localplatform::storeDirectory() + "/jobs/" +
                                         std::to_string(config.jobId) + ".complete"));
    EXPECT_EQ(state(id), "closed");
    expectCleanedUp(config.jobId);
}

TEST_F(LocalStoreFaultTest, AMarkerWhoseDirectoryFailsToSyncIsTakenBackAndNeverCompletesTheJob) {
    withFaults("op=syncdir,in=/jobs,nth=1,errno=EIO");
    const ArchiveFileId_t id = backup(bytes(600));
    EXPECT_THROW(localplatform::completeJob(config.jobId), StoreError);
    EXPECT_FALSE(std::filesystem::exists(localplatform::storeDirectory() + "/jobs/" +
                                         std::to_string(config.jobId) + ".complete"));
    localplatform::failJob(config.jobId);
    const auto cleaned = localplatform::cleanup();
    ASSERT_EQ(cleaned.removed.size(), 1u);
    EXPECT_EQ(cleaned.removed[0].afileId, id.afileId);
    std::string state = "absent";
    for (const auto& job : localplatform::listJobs()) {
        if (job.jobId == config.jobId) state = job.state;
    }
    EXPECT_EQ(state, "failed");
    EXPECT_TRUE(localplatform::check(false).problems.empty());
}

TEST_F(LocalStoreFaultTest, AFailedCreationOfTheDescriptionLeavesNoFileAndNoEntry) {
    withFaults("op=create,in=.meta,nth=1,errno=ENOSPC");
    ZebArchive archive(nullptr, true, nullptr);
    CreateRet_t created;
    EXPECT_NE(tryCreate(archive, &created), 0);
    ArchiveFileRecord record;
    EXPECT_FALSE(localplatform::createdArchiveFile(config.jobId, 1, &record));
    EXPECT_TRUE(std::filesystem::is_empty(localplatform::storeDirectory() + "/files"));
    EXPECT_TRUE(localplatform::check(false).problems.empty());
}

TEST_F(LocalStoreFaultTest, AnUnusableFaultPlanFailsTheOpening) {
    config.storageFaults = "op=append,errno=ENOSPC";
    const auto error = openingError();
    config.storageFaults.clear();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->first, StoreError::Kind::Unusable);
    EXPECT_EQ(error->second,
              "the storage fault rule \"op=append,errno=ENOSPC\" names no operation number "
              "(nth=N or from=N)");
}

TEST_F(LocalStoreFaultTest, AStoreWhoseFilesCannotBeLookedAtIsUnusableNotAbsent) {
    // An object store that answers 503 fails the look at store.ini with
    // EIO: the store is there all the same, so opening it fails at that
    // first look, one line, rather than looking again and again as for a
    // store to make.
    config.storageFaults = "op=status,in=store.ini,nth=1,errno=EIO";
    const auto error = openingError();
    config.storageFaults.clear();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->first, StoreError::Kind::Unusable);
    EXPECT_EQ(error->second.rfind("cannot reach the store ", 0), 0u) << error->second;
    EXPECT_TRUE(error->second.ends_with(": Input/output error")) << error->second;
    // Nothing was made or changed: the store opens once the storage answers.
    EXPECT_NO_THROW(reconfigure());
}

}  // namespace
