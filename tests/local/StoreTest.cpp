#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "LocalFixture.h"

using localplatform::ArchiveFileRecord;
using LocalStoreTest = LocalPlatformTest;

namespace {

std::vector<uint32_t> afileIds(const std::vector<ArchiveFileRecord>& records) {
    std::vector<uint32_t> ids;
    for (const ArchiveFileRecord& record : records) ids.push_back(record.afileId);
    return ids;
}

}  // namespace

TEST_F(LocalStoreTest, CleanupRemovesWhatFailedJobsLeftAndNothingElse) {
    const ArchiveFileId_t closed = backup("closed");
    CreateRet_t live, dead, invalidatedLive;
    auto liveWriter = create(&live);
    create(&dead).reset();  // its writer is gone
    const ArchiveFileId_t invalidated = backup("invalidated");
    auto invalidatedWriter = create(&invalidatedLive);
    ASSERT_EQ(invalidate({invalidated.afileId, invalidatedLive.afileId}, invalidated.trellanId), 0);

    const auto all = localplatform::listArchiveFiles();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return a.afileId < b.afileId;
    }));
    const std::string deadPath = all[2].path;

    const auto removed = localplatform::cleanup();
    EXPECT_EQ(afileIds(removed), (std::vector<uint32_t>{dead.afileId, invalidated.afileId}));
    EXPECT_EQ(removed[0].state, "writing");
    EXPECT_EQ(removed[1].state, "invalidated");
    EXPECT_FALSE(std::filesystem::exists(deadPath));
    EXPECT_FALSE(std::filesystem::exists(removed[1].path));
    EXPECT_EQ(afileIds(localplatform::listArchiveFiles()),
              (std::vector<uint32_t>{closed.afileId, live.afileId, invalidatedLive.afileId}));

    // The live writer goes on as if nothing happened.
    std::string error;
    EXPECT_TRUE(localplatform::writeStream(config.jobId, live.groupNumber, "on", 2, &error));
    EXPECT_EQ(close(*liveWriter, idOf(live)), 0);
    EXPECT_EQ(state(idOf(live)), "closed");
    EXPECT_TRUE(localplatform::cleanup().empty());

    invalidatedWriter.reset();
    EXPECT_EQ(afileIds(localplatform::cleanup()),
              (std::vector<uint32_t>{invalidatedLive.afileId}));
}

TEST_F(LocalStoreTest, TheStoreDirectoryFollowsTheConfigurationThenTheEnvironment) {
    const std::string base = config.storeDir;
    const auto saved = [](const char* name) {
        const char* value = getenv(name);
        return std::make_pair(value != nullptr, std::string(value ? value : ""));
    };
    const auto home = saved("HOME"), xdg = saved("XDG_DATA_HOME"), store = saved("PIPELINE_STORE");

    EXPECT_EQ(localplatform::storeDirectory(), base);
    config.storeDir.clear();
    reconfigure();
    setenv("PIPELINE_STORE", (base + "/env").c_str(), 1);
    setenv("XDG_DATA_HOME", (base + "/xdg").c_str(), 1);
    setenv("HOME", (base + "/home").c_str(), 1);
    EXPECT_EQ(localplatform::storeDirectory(), base + "/env");
    unsetenv("PIPELINE_STORE");
    EXPECT_EQ(localplatform::storeDirectory(), base + "/xdg/pipelinesetup/store");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(localplatform::storeDirectory(), base + "/home/.local/share/pipelinesetup/store");

    EXPECT_TRUE(localplatform::listArchiveFiles().empty());  // made on first use
    EXPECT_TRUE(std::filesystem::is_directory(base + "/home/.local/share/pipelinesetup/store/files"));

    for (const auto& [name, value] : {std::make_pair("HOME", home), std::make_pair("XDG_DATA_HOME", xdg),
                                      std::make_pair("PIPELINE_STORE", store)}) {
        if (value.first) setenv(name, value.second.c_str(), 1);
        else unsetenv(name);
    }
}
