// A completion marker says whether the store kept the job's manifest, so
// that a job completed before stores kept manifests is told from one whose
// copy was lost.

#include "LocalFixture.h"
#include "platform/local/JobManifest.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"

using CompletionMarkerTest = LocalPlatformTest;

TEST_F(CompletionMarkerTest, TheMarkerSaysWhetherTheManifestWasKept) {
    const unsigned long long kept = config.jobId;
    backup("with a manifest");
    localplatform::storeJobManifest(kept, "{}");
    localplatform::completeJob(kept);
    const std::string jobs = localplatform::storeDirectory() + "/jobs/";
    const std::string marker = contentsOf(jobs + std::to_string(kept) + ".complete");
    EXPECT_EQ(marker.rfind("job_id=" + std::to_string(kept) + "\ncompleted_at=", 0), 0u) << marker;
    EXPECT_EQ(marker.substr(marker.size() - 14), "manifest=kept\n") << marker;
    EXPECT_TRUE(localplatform::manifestKeptAtCompletion(kept));
    // The copy lost afterwards: the marker still says it was kept.
    std::filesystem::remove(localplatform::jobManifestPath(kept));
    EXPECT_TRUE(localplatform::manifestKeptAtCompletion(kept));

    const unsigned long long bare = kept + 1;
    useJob(bare);
    backup("without one");
    localplatform::completeJob(bare);
    const std::string plain = contentsOf(jobs + std::to_string(bare) + ".complete");
    EXPECT_EQ(plain.find("manifest="), std::string::npos) << plain;
    EXPECT_FALSE(localplatform::manifestKeptAtCompletion(bare));
    // Not complete, or not known: nothing was kept.
    EXPECT_FALSE(localplatform::manifestKeptAtCompletion(bare + 1));
}
