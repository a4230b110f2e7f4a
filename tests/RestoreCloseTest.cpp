#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "platform/FsrMessages.h"
#include "tests/RestoreFixture.h"

using fakeplatform::Op;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class RestoreCloseTest : public RestoreFixture {
protected:
    void SetUp() override { openFiles(3); }

    PipelineInfo stream(unsigned long n) { return job->getStreamPipeinfoMap().at(n); }

    // The logging contexts made and destroyed, with each archive file id
    // read as the mark of the stream being closed.
    std::vector<std::string> contextsAndStreams() const {
        std::vector<std::string> seen;
        for (const auto& call : fake.allCalls()) {
            if (call.op == Op::EventMade || call.op == Op::EventGone ||
                call.op == Op::GetArchiveFileId) {
                seen.push_back(call.describe());
            }
        }
        return seen;
    }
};

TEST_F(RestoreCloseTest, CloseArchFileWaitsForTheCloseAndPassesOverOtherMessages) {
    fake.queueMessages(1, {PL_FS_READ_ALL_ABORTED, PL_FS_DESTROY, 7, PL_FS_CLOSE_AFILE});
    EXPECT_TRUE(job->closeArchFile(1, stream(1)));

    EXPECT_THAT(fake.trace(),
                ElementsAre("GetArchiveFileId#1", "send 0x1800001f session#1",
                            "CloseArchiveFileAndReleaseVolume#1", "readBuffer#1", "freeBuffer#1",
                            "readBuffer#1", "freeBuffer#1", "readBuffer#1", "freeBuffer#1",
                            "readBuffer#1", "freeBuffer#1"));
    EXPECT_THAT(
        logTexts(),
        ElementsAre(
            "RestorePipelineSetup(210): -Debug-: Stream [1]: Closing Archive File [101]!",
            "RestorePipelineSetup(231): -Debug-: Sending close archive file and release volume to "
            "close archive file [101] with stream [1].",
            "RestorePipelineSetup(242): -Debug-: Waiting for PL_FS_CLOSE_AFILE message for "
            "archive file [101] database stream [1].",
            "RestorePipelineSetup(268): -Debug-: Received PL_FS_READ_ALL_ABORTED message for "
            "archive file [101] database stream 1",
            "RestorePipelineSetup(262): -Debug-: Received PL_FS_CLOSE_AFILE message for archive "
            "file [101] database stream [1]."));
    const fakeplatform::SentMessage close = *fake.calls(Op::SendXDRMessage)[0].message;
    EXPECT_TRUE(close.hasBuffer);
    EXPECT_EQ(close.bodyLength, 0u);
    EXPECT_EQ(close.arg1, 0);
    EXPECT_EQ(close.arg2, -1);
    ASSERT_EQ(fake.calls(Op::FreeBuffer).size(), 4u);
    for (const auto& call : fake.calls(Op::FreeBuffer)) {
        EXPECT_FALSE(call.nullArg1);
        EXPECT_TRUE(call.nullArg2);
    }
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u, 3u));  // closing a file keeps its stream
}

TEST_F(RestoreCloseTest, CloseArchFilePassesOverTypesAboveTheAbortedReadAll) {
    fake.queueMessages(1, {PL_FS_READ_ALL_ABORTED + 1, 1000, PL_FS_CLOSE_AFILE});
    EXPECT_TRUE(job->closeArchFile(1, stream(1)));
    EXPECT_EQ(fake.calls(Op::ReadBuffer).size(), 3u);
    for (const auto& text : logTexts()) {
        EXPECT_EQ(text.find("PL_FS_READ_ALL_ABORTED"), std::string::npos) << text;
    }
    EXPECT_EQ(logTexts().back(),
              "RestorePipelineSetup(262): -Debug-: Received PL_FS_CLOSE_AFILE message for archive "
              "file [101] database stream [1].");
}

TEST_F(RestoreCloseTest, ReadReturningANegativeValueHasReadAMessage) {
    // Only 0 means a failed read.
    fake.setResult(Op::ReadBuffer, -1);
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    EXPECT_TRUE(job->closeArchFile(1, stream(1)));
    EXPECT_EQ(logTexts().back(),
              "RestorePipelineSetup(262): -Debug-: Received PL_FS_CLOSE_AFILE message for archive "
              "file [101] database stream [1].");

    fake.clearJournal();
    fake.queueMessages(2, {PL_FS_CLOSE_AFILE, PL_FS_DESTROY});
    EXPECT_TRUE(job->closePipeline(2));
    EXPECT_EQ(fake.calls(Op::FreeBuffer).size(), 2u);
    EXPECT_EQ(logTexts().back(),
              "RestorePipelineSetup(146): -Debug-: Received PL_FS_DESTROY message for database "
              "stream 2.");
}

TEST_F(RestoreCloseTest, CloseArchFileFailures) {
    fake.setSendResult(CQiError(-4, "down"), {.session = 1, .code = FSR_MSG_CLOSE_ARCHIVE});
    EXPECT_FALSE(job->closeArchFile(1, stream(1)));
    EXPECT_EQ(fake.logs().back().method, "debug");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(219): -Debug-: Stream [1]: "
              "SendXDRMessage(FSR_MSG_CLOSE_ARCHIVE) failed. Error:[down]");
    EXPECT_THAT(fake.calls(Op::CloseArchiveFileAndReleaseVolume), IsEmpty());

    fake.setResult(Op::CloseArchiveFileAndReleaseVolume, 7, {.archive = 2});
    EXPECT_FALSE(job->closeArchFile(2, stream(2)));
    EXPECT_EQ(fake.logs().back().method, "error");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(236): -Error-: Failed to close and release volume during the "
              "closure of ArchFile [102] for Stream [2] with error [7].");
    EXPECT_THAT(fake.calls(Op::ReadBuffer), IsEmpty());

    fake.queueMessages(3, {fakeplatform::kReadFails});
    EXPECT_FALSE(job->closeArchFile(3, stream(3)));
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(252): -Debug-: Failed in ZebArchive.readBuffer() after "
              "closing Archive File [103]");

    fake.clearJournal();
    EXPECT_FALSE(job->closeArchFile(1, PipelineInfo()));
    EXPECT_EQ(fake.logs().back().method, "error");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(199): -Error-: Archive object is NULL. Cannot close pipeline.");
    EXPECT_FALSE(job->closeArchFile(1, PipelineInfo{nullptr, stream(1).archive}));
    EXPECT_EQ(fake.logs().back().method, "error");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(201): -Error-: Session head is NULL for stream [1]. Cannot "
              "close archive file.");
    EXPECT_THAT(fake.journal(), IsEmpty());
}

TEST_F(RestoreCloseTest, CloseArchFilesStopsAtTheFirstFailureAndKeepsTheMap) {
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    fake.queueMessages(2, {fakeplatform::kReadFails});
    fake.queueMessages(3, {PL_FS_CLOSE_AFILE});
    EXPECT_FALSE(job->closeArchFiles());
    for (const auto& line : fake.trace()) EXPECT_EQ(line.find("#3"), std::string::npos) << line;
    EXPECT_EQ(fake.calls(Op::CloseArchiveFileAndReleaseVolume).size(), 2u);
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u, 3u));
}

TEST_F(RestoreCloseTest, CloseArchFilesEmptiesTheMapUnlessReopeningEachRequest) {
    for (int n = 1; n <= 3; ++n) fake.queueMessages(n, {PL_FS_CLOSE_AFILE, PL_FS_CLOSE_AFILE});
    job->setReopenEachRequest(true);
    EXPECT_TRUE(job->closeArchFiles());
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u, 3u));

    job->setReopenEachRequest(false);
    EXPECT_TRUE(job->closeArchFiles());
    EXPECT_THAT(mapKeys(), IsEmpty());

    fake.clearJournal();
    EXPECT_TRUE(job->closeArchFiles());
    EXPECT_THAT(fake.journal(), IsEmpty());
    EXPECT_THAT(logTexts(), ElementsAre("RestorePipelineSetup(280): -Debug-: Stream pipeline info "
                                        "map is empty. No archive files to close."));
}

TEST_F(RestoreCloseTest, ClosePipelineWaitsForTheDestroyThroughCloseMessages) {
    fake.queueMessages(2, {PL_FS_CLOSE_AFILE, 7, PL_FS_DESTROY});
    EXPECT_TRUE(job->closePipeline(2));

    // Type 7 is passed over without a line.
    EXPECT_THAT(fake.trace(),
                ElementsAre("GetArchiveFileId#2", "send 0x1800001f session#2", "readBuffer#2",
                            "freeBuffer#2", "readBuffer#2", "freeBuffer#2", "readBuffer#2",
                            "freeBuffer#2"));
    EXPECT_THAT(
        logTexts(),
        ElementsAre(
            "RestorePipelineSetup(104): -Debug-: Stream [2]: Closing Archive File [102]!",
            "RestorePipelineSetup(120): -Debug-: Waiting for PL_FS_CLOSE_AFILE message for "
            "database stream 2",
            "RestorePipelineSetup(137): -Debug-: Received PL_FS_CLOSE_AFILE message for database "
            "stream 2",
            "RestorePipelineSetup(146): -Debug-: Received PL_FS_DESTROY message for database "
            "stream 2."));
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 3u));

    fake.clearJournal();
    fake.queueMessages(1, {PL_FS_READ_ALL_ABORTED});
    EXPECT_TRUE(job->closePipeline(1));
    EXPECT_EQ(logTexts().back(),
              "RestorePipelineSetup(141): -Debug-: Received PL_FS_READ_ALL_ABORTED message for "
              "database stream 1");

    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline(2));  // no longer open
    EXPECT_THAT(fake.journal(), IsEmpty());
}

TEST_F(RestoreCloseTest, ClosePipelineFailures) {
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE, fakeplatform::kReadFails});
    EXPECT_FALSE(job->closePipeline(1));
    EXPECT_EQ(logTexts().back(),
              "RestorePipelineSetup(126): -Debug-: Failed in ZebArchive.readBuffer() after "
              "closing Archive File");
    EXPECT_THAT(mapKeys(), ElementsAre(2u, 3u));  // dropped all the same

    fake.clearJournal();
    fake.setSendResult(CQiError(-2, "down"), {.session = 2});
    EXPECT_FALSE(job->closePipeline(2));
    EXPECT_THAT(fake.trace(), ElementsAre("GetArchiveFileId#2", "send 0x1800001f session#2"));
    EXPECT_EQ(logTexts().back(),
              "RestorePipelineSetup(114): -Debug-: Stream [2]: "
              "SendXDRMessage(FSR_MSG_CLOSE_ARCHIVE) failed. Error:[down]");
    EXPECT_THAT(mapKeys(), ElementsAre(2u, 3u));  // kept for another try
}

TEST_F(RestoreCloseTest, ClosingAllCountsStreamNumbersFromTheMapSize) {
    fake.queueMessages(2, {PL_FS_DESTROY});
    ASSERT_TRUE(job->closePipeline(2));
    fake.clearJournal();

    // Keys 1 and 3: numbers 1 and 2 are visited, so stream 3 is dropped
    // without being closed.
    fake.queueMessages(1, {PL_FS_DESTROY});
    EXPECT_TRUE(job->closePipeline());
    EXPECT_THAT(fake.trace(),
                ElementsAre("GetArchiveFileId#1", "send 0x1800001f session#1", "readBuffer#1",
                            "freeBuffer#1"));
    EXPECT_THAT(mapKeys(), IsEmpty());

    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline());
    EXPECT_THAT(fake.journal(), IsEmpty());
}

TEST_F(RestoreCloseTest, ClosingAllGoesOnPastAFailure) {
    fake.queueMessages(2, {PL_FS_DESTROY});
    fake.queueMessages(3, {PL_FS_DESTROY});
    fake.setSendResult(CQiError(-2, "down"), {.session = 1});
    job->setReopenEachRequest(true);
    EXPECT_FALSE(job->closePipeline());
    EXPECT_EQ(fake.calls(Op::ReadBuffer).size(), 2u);
    EXPECT_THAT(mapKeys(), ElementsAre(1u));  // only the stream whose close message failed

    job->setReopenEachRequest(false);
    EXPECT_FALSE(job->closePipeline());
    EXPECT_THAT(mapKeys(), IsEmpty());
}

TEST_F(RestoreCloseTest, ClosingAllMakesOneLoggingContextForTheCallAndOnePerStream) {
    for (int n = 1; n <= 3; ++n) fake.queueMessages(n, {PL_FS_CLOSE_AFILE});
    job->setReopenEachRequest(true);  // keeps the streams for the second close
    ASSERT_TRUE(job->closeArchFiles());
    const std::vector<std::string> expected = {
        "EvEvent",  "EvEvent",  "GetArchiveFileId#1", "~EvEvent", "EvEvent",
        "GetArchiveFileId#2",   "~EvEvent",           "EvEvent",  "GetArchiveFileId#3",
        "~EvEvent", "~EvEvent"};
    EXPECT_EQ(contextsAndStreams(), expected);

    fake.clearJournal();
    for (int n = 1; n <= 3; ++n) fake.queueMessages(n, {PL_FS_DESTROY});
    ASSERT_TRUE(job->closePipeline());
    EXPECT_EQ(contextsAndStreams(), expected);
}

TEST_F(RestoreCloseTest, ShutdownEndsEverySlotThenForgetsTheDestroyedObjects) {
    fake.setSendResult(CQiError(-9, "gone"), {.session = 1, .code = FSR_MSG_RESTORE_END});
    EXPECT_TRUE(job->shutDownPipeline());

    EXPECT_THAT(fake.trace(),
                ElementsAre("send 0x18000005 session#1", "delete ZebArchive#1",
                            "send 0x18000005 session#2", "delete ZebArchive#2",
                            "send 0x18000005 session#3", "delete ZebArchive#3"));
    EXPECT_THAT(logTexts(), ElementsAre("RestorePipelineSetup(176): -Debug-: Failed to send "
                                        "FSR_MSG_RESTORE_END for stream(0).Error:[gone]"));
    EXPECT_EQ(fake.calls(Op::SendXDRMessage)[0].message->bodyLength, 0u);
    EXPECT_TRUE(fake.calls(Op::SendXDRMessage)[0].message->hasBuffer);

    // Nothing can reach a destroyed object afterwards.
    fake.clearJournal();
    EXPECT_THAT(job->getStreamPipeinfoMap(), IsEmpty());
    EXPECT_TRUE(job->closePipeline());
    EXPECT_TRUE(job->closeArchFiles());
    EXPECT_TRUE(job->shutDownPipeline());
    EXPECT_FALSE(job->SeekToOffsetInArchiveFiles());
    EXPECT_EQ(logTexts().back(),
              "RestorePipelineSetup(361): -Error-: Failed to send seek offset [1000] as archive "
              "object is empty for AfileID [101] TrellanID[2].");
    EXPECT_THAT(fake.journal(), IsEmpty());

    // A new request starts afresh, on new archive objects.
    EXPECT_TRUE(job->setupPipeline());
    EXPECT_EQ(fake.calls(Op::ArchiveMade).size(), 3u);
    EXPECT_EQ(job->getStreamPipeinfoMap().at(1).archive, fake.archive(4));
}

TEST_F(RestoreCloseTest, ShutdownReachesSlotsOutsideTheMap) {
    // Stream 2's open message fails: its file is open and its slot has a
    // session head, but it never enters the map.
    job.reset();
    fake.restart();
    job = std::make_unique<RestorePipelineSetup>();
    fake.setSendResult(CQiError(-1, "x"), {.code = FSR_MSG_OPEN_ARCHIVE});
    fake.setSendResult(CQiError(), {.session = 1});
    job->setRestoreArchiveFileInfoList(files(3));
    EXPECT_FALSE(job->setupPipeline());
    EXPECT_THAT(mapKeys(), ElementsAre(1u));

    fake.clearJournal();
    EXPECT_TRUE(job->shutDownPipeline());
    EXPECT_THAT(fake.trace(),
                ElementsAre("send 0x18000005 session#1", "delete ZebArchive#1",
                            "send 0x18000005 session#2", "delete ZebArchive#2"));
}

TEST_F(RestoreCloseTest, ShutdownOfAFullJobCoversAllSixtyFiveSlots) {
    job.reset();
    fake.restart();
    job = std::make_unique<RestorePipelineSetup>();
    openFiles(65);
    EXPECT_TRUE(job->shutDownPipeline());
    const auto trace = fake.trace();
    ASSERT_EQ(trace.size(), 130u);
    EXPECT_EQ(trace[0], "send 0x18000005 session#1");
    EXPECT_EQ(trace[1], "delete ZebArchive#1");
    EXPECT_EQ(trace[128], "send 0x18000005 session#65");
    EXPECT_EQ(trace[129], "delete ZebArchive#65");
}

TEST_F(RestoreCloseTest, DestroyingWithoutShutdownReleasesTheArchiveObjectsQuietly) {
    job.reset();
    EXPECT_THAT(fake.trace(), ElementsAre("delete ZebArchive#1", "delete ZebArchive#2",
                                          "delete ZebArchive#3"));
}

}  // namespace
