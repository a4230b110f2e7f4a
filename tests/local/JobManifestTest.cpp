// Each complete job's manifest kept in the store: written once, durably,
// with the store's modes, for a running job only; read back as stored; kept
// by a repair that rebuilds the catalog.

#include <sys/stat.h>

#include <fstream>

#include "LocalFixture.h"
#include "platform/local/Config.h"
#include "platform/local/JobManifest.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/StoreSession.h"

using localplatform::StoreError;
using LocalJobManifestTest = LocalPlatformTest;

namespace {

StoreError::Kind kindOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const StoreError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "nothing was thrown";
    return StoreError::Kind::Failed;
}

}  // namespace

TEST_F(LocalJobManifestTest, StoredOnceForARunningJobAndReadBackAsWritten) {
    const unsigned long long job = config.jobId;
    // Not begun: the store does not know the job.
    EXPECT_EQ(kindOf([&] { localplatform::storeJobManifest(job, "{}"); }),
              StoreError::Kind::Failed);
    EXPECT_FALSE(std::filesystem::exists(localplatform::jobManifestPath(job)));
    EXPECT_EQ(localplatform::jobManifest(job), std::nullopt);

    backup("data");
    const std::string stored = "{\"manifest\": \"\\u00e9\"}\n";
    localplatform::storeJobManifest(job, stored);
    EXPECT_EQ(localplatform::jobManifest(job), stored);
    struct stat status {};
    ASSERT_EQ(::stat(localplatform::jobManifestPath(job).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(localplatform::jobManifestPath(job),
              localplatform::storeDirectory() + "/jobs/" + std::to_string(job) + ".manifest.json");
    // Never overwritten.
    EXPECT_EQ(kindOf([&] { localplatform::storeJobManifest(job, "other"); }),
              StoreError::Kind::JobExists);
    EXPECT_EQ(localplatform::jobManifest(job), stored);
    localplatform::completeJob(job);
    EXPECT_EQ(kindOf([&] { localplatform::storeJobManifest(job, "late"); }),
              StoreError::Kind::Failed);
    EXPECT_EQ(localplatform::jobsWithManifests(), (std::vector<unsigned long long>{job}));
}

TEST_F(LocalJobManifestTest, ARepairKeepsTheManifestsAndTheJobStaysComplete) {
    const unsigned long long job = config.jobId;
    backup("data");
    localplatform::storeJobManifest(job, "manifest of the job\n");
    localplatform::completeJob(job);
    localplatform::closeStore();
    loseCatalog(config.storeDir);
    reconfigure();
    localplatform::check(true);
    EXPECT_EQ(localplatform::jobManifest(job), "manifest of the job\n");
    const auto jobs = localplatform::listJobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].state, "complete");
    EXPECT_TRUE(localplatform::check(false).problems.empty());
}

TEST_F(LocalJobManifestTest, ReadOnlyStoresTakeNoneAndALinkIsNotRead) {
    const unsigned long long job = config.jobId;
    backup("data");
    const std::string path = localplatform::jobManifestPath(job);
    {
        std::ofstream elsewhere(dir() + "/elsewhere.json");
        elsewhere << "not the store's";
    }
    std::filesystem::create_symlink(dir() + "/elsewhere.json", path);
    EXPECT_EQ(kindOf([&] { localplatform::jobManifest(job); }), StoreError::Kind::Failed);
    EXPECT_EQ(kindOf([&] { localplatform::storeJobManifest(job, "x"); }),
              StoreError::Kind::JobExists);
    std::filesystem::remove(path);
    localplatform::completeJob(job);
    localplatform::closeStore();
    localplatform::openStore(config, localplatform::Access::ReadOnly, false);
    EXPECT_EQ(kindOf([&] { localplatform::storeJobManifest(job + 1, "x"); }),
              StoreError::Kind::Unusable);
}
