#include <gmock/gmock.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ZebArchive.h"
#include "tests/BackupFixture.h"

using fakeplatform::Op;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class BackupTeardownTest : public BackupFixture {
protected:
    // Three held streams whose archive files are (2, 7, 1234), (3, 8, 2345)
    // and (4, 9, 3456).
    void SetUp() override {
        fake.setCreateRet(1, createRet(2, 7, 1234));
        fake.setCreateRet(2, createRet(3, 8, 2345));
        fake.setCreateRet(3, createRet(4, 9, 3456));
        ASSERT_TRUE(job->setupPipeline(0, 1, 3, "x"));
        fake.clearJournal();
    }

    bool held(unsigned long stream) {
        unsigned long long offset = 0;
        return job->getArchiveFileOffset(stream, offset);
    }
};

TEST_F(BackupTeardownTest, ClosesEveryStreamInOrder) {
    EXPECT_TRUE(job->closePipeline(5, false));

    EXPECT_THAT(fake.trace(),
                ElementsAre("closeAfile#1", "SetRestartContext#1", "freeBuffer#1",
                            "closePipeline#1", "delete ZebArchive#1", "closeAfile#2",
                            "SetRestartContext#2", "freeBuffer#2", "closePipeline#2",
                            "delete ZebArchive#2", "closeAfile#3", "SetRestartContext#3",
                            "freeBuffer#3", "closePipeline#3", "delete ZebArchive#3"));
    EXPECT_THAT(fake.logs(), IsEmpty());
    EXPECT_FALSE(held(1));
    EXPECT_FALSE(held(3));
}

TEST_F(BackupTeardownTest, CloseRecordsCarryTheStreamsOwnArchiveFile) {
    EXPECT_TRUE(job->closePipeline(5, false));

    const auto closes = fake.calls(Op::CloseAfile);
    ASSERT_EQ(closes.size(), 3u);
    const uint32_t expected[3][3] = {{2, 7, 1234}, {3, 8, 2345}, {4, 9, 3456}};
    for (int i = 0; i < 3; ++i) {
        const CloseAfileArgs_t& a = *closes[i].closeAfileArgs;
        EXPECT_EQ(a.trellanId, expected[i][0]);
        EXPECT_EQ(a.groupNumber, expected[i][1]);
        EXPECT_EQ(a.afileId, expected[i][2]);
        EXPECT_EQ(a.reserved16, 0u);
        EXPECT_EQ(a.reserved24, 0u);
        EXPECT_EQ(a.reserved28, 0u);
        EXPECT_TRUE(closes[i].nullArg2);
    }
    ASSERT_EQ(fake.calls(Op::SetRestartContext).size(), 3u);
    ASSERT_EQ(fake.calls(Op::FreeBuffer).size(), 3u);
    ASSERT_EQ(fake.calls(Op::ClosePipeline).size(), 3u);
    for (const auto& call : fake.calls(Op::SetRestartContext)) {
        EXPECT_EQ(call.restartContext, 0xFFFFFFFFu);
    }
    for (const auto& call : fake.calls(Op::FreeBuffer)) {
        EXPECT_TRUE(call.nullArg1);
        EXPECT_TRUE(call.nullArg2);
    }
    for (const auto& call : fake.calls(Op::ClosePipeline)) {
        EXPECT_EQ(call.closePipelineArgs->closeKind, 1u);
        EXPECT_EQ(call.closePipelineArgs->closeMode, 5u);  // not reduced to 1
        EXPECT_TRUE(call.nullArg2);
    }
}

TEST_F(BackupTeardownTest, KeepingTheRestartContextSkipsItsReset) {
    EXPECT_TRUE(job->closePipeline(2, 1, true));
    EXPECT_THAT(fake.trace(), ElementsAre("closeAfile#2", "freeBuffer#2", "closePipeline#2",
                                          "delete ZebArchive#2"));
}

TEST_F(BackupTeardownTest, CloseModeZeroInvalidatesTheArchiveFileInstead) {
    fake.setJobId(0xABCDEF0123ULL);
    EXPECT_TRUE(job->closePipeline(1, 0, false));

    EXPECT_THAT(fake.trace(), ElementsAre("getJobId", "invalidateArchFilesByJob", "freeBuffer#1",
                                          "closePipeline#1", "delete ZebArchive#1"));
    const InvalidateArchFilesByJobArgs_t a = *fake.calls(Op::InvalidateArchFilesByJob)[0].invalidateArgs;
    EXPECT_EQ(a.jobId, 0xABCDEF0123ULL);
    EXPECT_EQ(a.trellanId, 2u);
    EXPECT_THAT(a.afileIds, ElementsAre(1234));
    EXPECT_EQ(a.reserved40 | a.reserved48, 0u);
    EXPECT_EQ(a.text56, "");
    EXPECT_EQ(fake.calls(Op::ClosePipeline)[0].closePipelineArgs->closeMode, 0u);
    EXPECT_THAT(fake.logs(), IsEmpty());
}

TEST_F(BackupTeardownTest, FailedInvalidationIsLoggedAndTheCloseGoesOn) {
    fake.setResult(Op::InvalidateArchFilesByJob, 1);
    EXPECT_TRUE(job->closePipeline(0, false));

    EXPECT_EQ(fake.calls(Op::ClosePipeline).size(), 3u);
    ASSERT_EQ(fake.logs().size(), 3u);
    const fakeplatform::LogLine& line = fake.logs()[0];
    EXPECT_EQ(line.method, "DebugLvl");
    EXPECT_EQ(line.function, "close");
    EXPECT_EQ(line.level, 0);
    EXPECT_EQ(line.text, "Failed to invalide archive file(2, 7, 1234)");
    EXPECT_EQ(fake.logs()[2].text, "Failed to invalide archive file(4, 9, 3456)");
}

TEST_F(BackupTeardownTest, AllStreamsCloseStopsAtAFailureAndForgetsTheRest) {
    fake.setResult(Op::CloseAfile, -1, {.archive = 2});
    EXPECT_FALSE(job->closePipeline(1, false));

    // Stream 2 and 3 get no further call, but their archive objects are
    // released once: the job no longer knows them.
    EXPECT_THAT(fake.trace(),
                ElementsAre("closeAfile#1", "SetRestartContext#1", "freeBuffer#1",
                            "closePipeline#1", "delete ZebArchive#1", "closeAfile#2",
                            "delete ZebArchive#2", "delete ZebArchive#3"));
    ASSERT_EQ(fake.logs().size(), 1u);
    EXPECT_EQ(fake.logs()[0].method, "Debug");
    EXPECT_EQ(fake.logs()[0].function, "close");
    EXPECT_EQ(fake.logs()[0].text,
              "Failed to close pipeline for stream[2], AFileId[2345], AFileGroupNumber[8]");
    EXPECT_FALSE(held(2));
    EXPECT_FALSE(held(3));

    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline(1, false));
    EXPECT_THAT(fake.journal(), IsEmpty());
}

TEST_F(BackupTeardownTest, StreamsSetUpAgainAfterAFailedCloseOfAllCloseTheirNewFiles) {
    fake.setResult(Op::CloseAfile, -1, {.archive = 2});
    ASSERT_FALSE(job->closePipeline(1, false));

    // The same stream numbers again, on new archive objects and files.
    fake.clearRules();
    fake.setCreateRet(4, createRet(5, 10, 4567));
    fake.setCreateRet(5, createRet(6, 11, 5678));
    fake.setCreateRet(6, createRet(7, 12, 6789));
    ASSERT_TRUE(job->setupPipeline(0, 1, 3, "x"));
    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline(1, false));

    const auto closes = fake.calls(Op::CloseAfile);
    ASSERT_EQ(closes.size(), 3u);
    const uint32_t expected[3][3] = {{5, 10, 4567}, {6, 11, 5678}, {7, 12, 6789}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(closes[i].archive, 4 + i);
        EXPECT_EQ(closes[i].closeAfileArgs->trellanId, expected[i][0]);
        EXPECT_EQ(closes[i].closeAfileArgs->groupNumber, expected[i][1]);
        EXPECT_EQ(closes[i].closeAfileArgs->afileId, expected[i][2]);
    }
}

TEST_F(BackupTeardownTest, ClosingAllMakesOneLoggingContextForTheCallAndOnePerStream) {
    // The logging contexts made and destroyed, around each stream's close.
    const auto contextsAndCloses = [this] {
        std::vector<std::string> seen;
        for (const auto& call : fake.allCalls()) {
            if (call.op == Op::EventMade || call.op == Op::EventGone ||
                call.op == Op::CloseAfile) {
                seen.push_back(call.describe());
            }
        }
        return seen;
    };
    EXPECT_TRUE(job->closePipeline(1, false));
    EXPECT_THAT(contextsAndCloses(),
                ElementsAre("EvEvent", "EvEvent", "closeAfile#1", "~EvEvent", "EvEvent",
                            "closeAfile#2", "~EvEvent", "EvEvent", "closeAfile#3", "~EvEvent",
                            "~EvEvent"));

    // One stream: the call's context and the close's.
    job = std::make_unique<BackupPipelineSetup>();
    ASSERT_TRUE(job->setupPipeline(0, 1, 1, "x"));
    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline(1, 1, false));
    EXPECT_THAT(contextsAndCloses(),
                ElementsAre("EvEvent", "EvEvent", "closeAfile#4", "~EvEvent", "~EvEvent"));
}

TEST_F(BackupTeardownTest, FailedSingleStreamCloseKeepsTheStreamForAnotherTry) {
    fake.setResult(Op::CloseAfile, 3, {.nth = 1});
    EXPECT_FALSE(job->closePipeline(1, 1, false));
    EXPECT_THAT(fake.trace(), ElementsAre("closeAfile#1"));
    EXPECT_EQ(fake.logs()[0].text,
              "Failed to close pipeline for stream[1], AFileId[1234], AFileGroupNumber[7]");
    EXPECT_TRUE(held(1));

    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline(1, 1, false));
    EXPECT_THAT(fake.trace(), ElementsAre("closeAfile#1", "SetRestartContext#1", "freeBuffer#1",
                                          "closePipeline#1", "delete ZebArchive#1"));
    EXPECT_EQ(fake.calls(Op::CloseAfile)[0].closeAfileArgs->afileId, 1234u);
    EXPECT_FALSE(held(1));
    EXPECT_TRUE(held(2));
}

TEST_F(BackupTeardownTest, ClosingAStreamNotHeldDoesNothing) {
    EXPECT_TRUE(job->closePipeline(4, 1, false));
    EXPECT_TRUE(job->closePipeline(0, 1, false));
    EXPECT_THAT(fake.journal(), IsEmpty());
}

TEST_F(BackupTeardownTest, AllStreamsCloseAfterASingleStreamCloseKeepsEachStreamsOwnFile) {
    ASSERT_TRUE(job->closePipeline(2, 1, false));
    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline(1, false));

    const auto closes = fake.calls(Op::CloseAfile);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0].archive, 1);
    EXPECT_EQ(closes[0].closeAfileArgs->afileId, 1234u);
    EXPECT_EQ(closes[1].archive, 3);
    EXPECT_EQ(closes[1].closeAfileArgs->trellanId, 4u);
    EXPECT_EQ(closes[1].closeAfileArgs->groupNumber, 9u);
    EXPECT_EQ(closes[1].closeAfileArgs->afileId, 3456u);
}

TEST_F(BackupTeardownTest, DestroyingTheJobReleasesStreamsStillHeld) {
    ASSERT_TRUE(job->closePipeline(2, 1, false));
    fake.clearJournal();
    job.reset();
    EXPECT_THAT(fake.trace(), ElementsAre("delete ZebArchive#1", "delete ZebArchive#3"));
}

TEST_F(BackupTeardownTest, CloseTakesTheWholeCreationResultByValue) {
    // The agent may drive one stream's close itself with a result it kept.
    auto* archive = new ZebArchive(nullptr, true, nullptr);
    const CreateRet_t ret = createRet(11, 12, 13);
    fake.clearJournal();
    EXPECT_TRUE(job->close(77, ret, archive, 1, true));
    EXPECT_THAT(fake.trace(), ElementsAre("closeAfile#4", "freeBuffer#4", "closePipeline#4",
                                          "delete ZebArchive#4"));
    const CloseAfileArgs_t a = *fake.calls(Op::CloseAfile)[0].closeAfileArgs;
    EXPECT_EQ(std::memcmp(&a, &ret.trellanId, sizeof(ArchiveFileId_t)), 0);
}

}  // namespace
