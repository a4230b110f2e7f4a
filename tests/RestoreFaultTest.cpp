// What a restore job does when the platform answers oddly or throws.
#include <gmock/gmock.h>

#include <new>
#include <set>
#include <stdexcept>

#include "platform/FsrMessages.h"
#include "tests/FaultChecks.h"
#include "tests/RestoreFixture.h"

using fakeplatform::Action;
using fakeplatform::Op;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using RestoreFaultTest = RestoreFixture;

TEST_F(RestoreFaultTest, OpenWithoutASessionHeadFailsThatStream) {
    fake.inject(Op::OpenArchiveFile, {.archive = 2}, Action::nullSessionHead());
    job->setRestoreArchiveFileInfoList(files(3));
    EXPECT_FALSE(job->setupPipeline());

    // Nothing is sent for stream 2, stream 3 is not tried, nothing is sought.
    EXPECT_THAT(fake.trace(),
                ElementsAre("getNumber MSSQLAgent/DelayPipelineSetup", "getPhysicalMachine",
                            "new ZebArchive#1", "openArchiveFile#1", "send 0x18000002 session#1",
                            "send 0x1800000c session#1", "getPhysicalMachine", "new ZebArchive#2",
                            "openArchiveFile#2"));
    EXPECT_EQ(fake.logs().back().method, "error");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(470): -Error-: Failed to open ArchiveFile [102]: no session "
              "head returned.");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(470): -Error-: Failed to open ArchiveFile [102]: no session "
              "head returned.");
    EXPECT_THAT(mapKeys(), ElementsAre(1u));

    // The next request closes stream 1 and opens all three again.
    fake.clearRules();
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    EXPECT_TRUE(job->setupPipeline());
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u, 3u));
    EXPECT_EQ(job->getStreamPipeinfoMap().at(2).sessionHead, fake.session(3));
}

TEST_F(RestoreFaultTest, ReopenWithoutASessionHeadForgetsTheEarlierOne) {
    openFiles(1);
    job->setReopenEachRequest(true);
    fake.inject(Op::OpenArchiveFile, {}, Action::nullSessionHead());
    EXPECT_FALSE(job->setupPipeline());
    EXPECT_THAT(mapKeys(), IsEmpty());
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(470): -Error-: Failed to open ArchiveFile [101]: no session "
              "head returned.");

    // Session head 1 belonged to the earlier open: the shutdown ends nothing
    // on it.
    fake.clearJournal();
    EXPECT_TRUE(job->shutDownPipeline());
    EXPECT_THAT(fake.trace(), ElementsAre("delete ZebArchive#1"));
}

// The slot's head of an archive object's earlier open must not outlive an
// open of that object that succeeds without one: neither a seek nor the
// shutdown may reach the media side through it.
TEST_F(RestoreFaultTest, ReopenOnAChangedListWithoutASessionHeadForgetsTheEarlierHead) {
    openFiles(2);  // session heads 1 and 2
    auto list = files(2);
    list[1].afileId = 202;  // stream 2's archive file changed
    job->setRestoreArchiveFileInfoList(list);
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    fake.queueMessages(2, {PL_FS_CLOSE_AFILE});
    fake.inject(Op::OpenArchiveFile, {.archive = 2}, Action::nullSessionHead());
    EXPECT_FALSE(job->setupPipeline());

    EXPECT_THAT(fake.trace(),
                ::testing::ElementsAreArray<std::string>(
                    {"GetArchiveFileId#1", "GetArchiveFileId#2", "GetArchiveFileId#1",
                     "send 0x1800001f session#1", "CloseArchiveFileAndReleaseVolume#1",
                     "readBuffer#1", "freeBuffer#1", "GetArchiveFileId#2",
                     "send 0x1800001f session#2", "CloseArchiveFileAndReleaseVolume#2",
                     "readBuffer#2", "freeBuffer#2", "getNumber MSSQLAgent/DelayPipelineSetup",
                     "openArchiveFile#1", "send 0x18000002 session#3",
                     "send 0x1800000c session#3", "openArchiveFile#2"}));
    EXPECT_EQ(logTexts()[0],
              "RestorePipelineSetup(342): -Debug-: Same archive file [2] [202] not opened.");
    EXPECT_EQ(fake.logs().back().method, "error");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(470): -Error-: Failed to open ArchiveFile [202]: no session "
              "head returned.");
    EXPECT_THAT(mapKeys(), ElementsAre(1u));

    // Stream 1 is sought on its new head; stream 2 has none, and nothing goes
    // out on head 2.
    fake.clearJournal();
    EXPECT_FALSE(job->SeekToOffsetInArchiveFiles());
    EXPECT_THAT(fake.trace(), ElementsAre("send 0x18000095 session#3"));
    EXPECT_EQ(fake.logs().back().method, "error");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(369): -Error-: Failed to seek offset [2000] as session head "
              "is NULL for TrellanID [2] AFileId [202].");

    // The shutdown ends the restore on head 3 only.
    fake.clearJournal();
    EXPECT_TRUE(job->shutDownPipeline());
    EXPECT_THAT(fake.trace(), ElementsAre("send 0x18000005 session#3", "delete ZebArchive#1",
                                          "delete ZebArchive#2"));
    EXPECT_THAT(fake.logs(), IsEmpty());
}

TEST_F(RestoreFaultTest, SeekAfterAFailedFirstOpenFindsNoSessionHead) {
    fake.setResult(Op::OpenArchiveFile, -1);
    job->setRestoreArchiveFileInfoList(files(1));
    EXPECT_FALSE(job->setupPipeline());
    fake.clearJournal();

    EXPECT_FALSE(job->SeekToOffsetInArchiveFiles());
    EXPECT_THAT(fake.journal(), IsEmpty());
    ASSERT_EQ(fake.logs().size(), 1u);
    EXPECT_EQ(fake.logs()[0].method, "error");
    EXPECT_EQ(fake.logs()[0].text,
              "RestorePipelineSetup(369): -Error-: Failed to seek offset [1000] as session head "
              "is NULL for TrellanID [2] AFileId [101].");
}

// A throw part way through the shutdown must leave no stream that refers to
// an archive object already destroyed, and a second shutdown ends the rest.
class RestoreShutdownThrowTest : public RestoreFixture,
                                 public ::testing::WithParamInterface<Op> {};

TEST_P(RestoreShutdownThrowTest, LeavesNoStreamOnADestroyedObject) {
    openFiles(3);
    // The second slot's send, or the buffer made for it.
    fake.inject(GetParam(), {.nth = 2}, Action::throws(std::runtime_error("channel lost")));
    EXPECT_THROW(job->shutDownPipeline(), std::runtime_error);
    EXPECT_THAT(faultchecks::helpersLeftBehind(fake), IsEmpty());
    EXPECT_EQ(fake.liveArchives(), 2);

    EXPECT_THAT(job->getStreamPipeinfoMap(), IsEmpty());
    fake.clearRules();
    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline());
    EXPECT_TRUE(job->closeArchFiles());
    EXPECT_THAT(fake.journal(), IsEmpty());
    EXPECT_TRUE(job->shutDownPipeline());
    EXPECT_THAT(fake.trace(),
                ElementsAre("send 0x18000005 session#2", "delete ZebArchive#2",
                            "send 0x18000005 session#3", "delete ZebArchive#3"));
}

INSTANTIATE_TEST_SUITE_P(Platform, RestoreShutdownThrowTest,
                         ::testing::Values(Op::SendXDRMessage, Op::BufferMade));

TEST_F(RestoreFaultTest, ThrowWhileOpeningKeepsTheStreamsOpenedBefore) {
    fake.inject(Op::GetPhysicalMachine, {.nth = 2}, Action::throws(std::bad_alloc()));
    job->setRestoreArchiveFileInfoList(files(3));
    EXPECT_THROW(job->setupPipeline(), std::bad_alloc);
    EXPECT_THAT(faultchecks::helpersLeftBehind(fake), IsEmpty());
    EXPECT_EQ(fake.archivesMade(), 1);
    EXPECT_THAT(mapKeys(), ElementsAre(1u));

    // The next request closes stream 1 and opens all again.
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    EXPECT_TRUE(job->setupPipeline());
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u, 3u));
}

TEST_F(RestoreFaultTest, ThrowingArchiveConstructorLeavesTheSlotEmpty) {
    fake.inject(Op::ArchiveMade, {.nth = 1}, Action::throws(std::runtime_error("no memory")));
    job->setRestoreArchiveFileInfoList(files(2));
    EXPECT_THROW(job->setupPipeline(), std::runtime_error);
    EXPECT_EQ(fake.archivesMade(), 0);
    EXPECT_THAT(faultchecks::helpersLeftBehind(fake), IsEmpty());
    EXPECT_TRUE(job->setupPipeline());
    EXPECT_EQ(job->getStreamPipeinfoMap().at(1).archive, fake.archive(1));
}

}  // namespace

namespace {

// Behaviour that each of a restore's mutants would change.
using RestoreDetailTest = RestoreFixture;

TEST_F(RestoreDetailTest, EverySendPassesZeroMinusOneAndAClearedFlag) {
    job->setReopenEachRequest(true);
    openFiles(2);
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE, PL_FS_DESTROY});
    ASSERT_TRUE(job->closeArchFile(1, job->getStreamPipeinfoMap().at(1)));
    ASSERT_TRUE(job->closePipeline(1));
    ASSERT_TRUE(job->shutDownPipeline());

    std::set<unsigned long> codes;
    for (const auto& send : fake.calls(Op::SendXDRMessage)) {
        codes.insert(send.message->code);
        EXPECT_EQ(send.message->arg1, 0) << send.describe();
        EXPECT_EQ(send.message->arg2, -1) << send.describe();
        EXPECT_FALSE(send.message->flagOnEntry) << send.describe();
    }
    // The opening sends were forgotten with the journal; a fresh job shows them.
    EXPECT_EQ(codes, (std::set<unsigned long>{FSR_MSG_CLOSE_ARCHIVE, FSR_MSG_RESTORE_END}));
    fake.clearJournal();
    RestorePipelineSetup other;
    other.setReopenEachRequest(true);
    other.setRestoreArchiveFileInfoList(files(1));
    ASSERT_TRUE(other.setupPipeline());
    codes.clear();
    for (const auto& send : fake.calls(Op::SendXDRMessage)) {
        codes.insert(send.message->code);
        EXPECT_EQ(send.message->arg1, 0) << send.describe();
        EXPECT_EQ(send.message->arg2, -1) << send.describe();
        EXPECT_FALSE(send.message->flagOnEntry) << send.describe();
    }
    EXPECT_EQ(codes, (std::set<unsigned long>{FSR_MSG_OPEN_ARCHIVE, FSR_MSG_READ_ALL,
                                              FSR_MSG_SEEK_TO_OFFSET, FSR_MSG_SEEK_FOLLOW_UP}));
    EXPECT_TRUE(other.shutDownPipeline());
}

TEST_F(RestoreDetailTest, FailedCloseOfTheOpenFilesOpensNothing) {
    openFiles(2);
    fake.setResult(Op::CloseArchiveFileAndReleaseVolume, 3, {.archive = 1});
    job->setRestoreArchiveFileInfoList(files(3));
    EXPECT_FALSE(job->setupPipeline());

    EXPECT_THAT(fake.trace(), ElementsAre("GetArchiveFileId#1", "send 0x1800001f session#1",
                                          "CloseArchiveFileAndReleaseVolume#1"));
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(236): -Error-: Failed to close and release volume during the "
              "closure of ArchFile [101] for Stream [1] with error [3].");
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u));
}

TEST_F(RestoreDetailTest, OpenFileWithAnotherTrellanIdIsClosedAndOpenedAgain) {
    for (uint32_t other : {3u, 1u}) {  // above the list's, then below it
        SCOPED_TRACE(other);
        job.reset();
        fake.restart();
        job = std::make_unique<RestorePipelineSetup>();
        openFiles(1);
        fake.setArchiveFileId(1, {other, 8, 101});
        fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
        EXPECT_TRUE(job->setupPipeline());
        EXPECT_EQ(logTexts()[0],
                  "RestorePipelineSetup(342): -Debug-: Same archive file [2] [101] not opened.");
        EXPECT_EQ(fake.calls(Op::OpenArchiveFile).size(), 1u);
    }
}

TEST_F(RestoreDetailTest, OpenFileWithAnotherArchiveFileIdIsClosedAndOpenedAgain) {
    for (uint32_t other : {102u, 100u}) {  // above the list's, then below it
        SCOPED_TRACE(other);
        job.reset();
        fake.restart();
        job = std::make_unique<RestorePipelineSetup>();
        openFiles(1);
        fake.setArchiveFileId(1, {2, 8, other});
        fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
        EXPECT_TRUE(job->setupPipeline());
        EXPECT_EQ(logTexts()[0],
                  "RestorePipelineSetup(342): -Debug-: Same archive file [2] [101] not opened.");
        EXPECT_EQ(fake.calls(Op::CloseArchiveFileAndReleaseVolume).size(), 1u);
        EXPECT_EQ(fake.calls(Op::OpenArchiveFile).size(), 1u);
    }
}

TEST_F(RestoreDetailTest, FailedOpenMessageFailsTheOpeningByItself) {
    fake.setSendResult(CQiError(-6, "refused"), {.session = 2, .code = FSR_MSG_OPEN_ARCHIVE});
    job->setRestoreArchiveFileInfoList(files(3));
    EXPECT_FALSE(job->OpenArchiveFilesForRestore());

    EXPECT_EQ(fake.logs().back().method, "error");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(495): -Error-: Failed to send FSR_MSG_OPEN_ARCHIVE for copy "
              "[1] AFileID [102] with error [refused].");
    EXPECT_EQ(fake.trace().back(), "send 0x18000002 session#2");  // no read-all, no stream 3
    EXPECT_THAT(mapKeys(), ElementsAre(1u));
}

TEST_F(RestoreDetailTest, DefaultJobValuesAreZeroInTheOpenRecords) {
    job = std::make_unique<RestorePipelineSetup>();
    job->setRestoreArchiveFileInfoList(files(1));
    ASSERT_TRUE(job->setupPipeline());
    EXPECT_EQ(fake.calls(Op::OpenArchiveFile)[0].openArgs->openArgsValue, 0u);
    const FSROpenArchive body = *fake.calls(Op::SendXDRMessage)[0].message->open;
    EXPECT_EQ(body.requestValue, 0u);
    EXPECT_EQ(body.messageValue, 0u);
    EXPECT_EQ(body.streamNumber, 1u);
}

}  // namespace
