#include <gmock/gmock.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/FsrMessages.h"
#include "tests/RestoreFixture.h"

using fakeplatform::Op;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

using RestoreRequestTest = RestoreFixture;

TEST_F(RestoreRequestTest, FirstRequestOpensEveryFileThenSeeksEveryStream) {
    fake.setPhysicalMachine("host-a");
    fake.setCopyNumber(2, 4);
    job->setRestoreArchiveFileInfoList({file(1), file(2, false)});
    ASSERT_TRUE(job->setupPipeline());

    EXPECT_THAT(fake.trace(),
                ElementsAre("getNumber MSSQLAgent/DelayPipelineSetup", "getPhysicalMachine",
                            "new ZebArchive#1", "openArchiveFile#1", "send 0x18000002 session#1",
                            "send 0x1800000c session#1", "getPhysicalMachine", "new ZebArchive#2",
                            "openArchiveFile#2", "send 0x18000002 session#2",
                            "send 0x18000095 session#1", "send 0x18000095 session#2"));
    EXPECT_THAT(
        logTexts(),
        ElementsAre(
            "RestorePipelineSetup(490): -Debug-: Sending FSR_MSG_OPEN_ARCHIVE for AFileID [101], "
            "Group no [8], subclient ID [51].",
            "RestorePipelineSetup(498): -Debug-: FSR_MSG_OPEN_ARCHIVE succeeded for copy [1], "
            "AFileID [101].",
            "RestorePipelineSetup(504): -Debug-: Sending FSR_MSG_READ_ALL for copy [1], AFileID "
            "[101].",
            "RestorePipelineSetup(519): -Debug-: FSR_MSG_READ_ALL succeeded for copy [1], AFileID "
            "[101].",
            "RestorePipelineSetup(490): -Debug-: Sending FSR_MSG_OPEN_ARCHIVE for AFileID [102], "
            "Group no [9], subclient ID [52].",
            "RestorePipelineSetup(498): -Debug-: FSR_MSG_OPEN_ARCHIVE succeeded for copy [4], "
            "AFileID [102].",
            "RestorePipelineSetup(525): -Debug-: Restoring only a single file so FSR_MSG_READ_ALL "
            "NOT sent for copy [4], AFileID [102].",
            "RestorePipelineSetup(394): -Debug-: FSR_MSG_SEEK_TO_OFFSET succeeded for TrellanId [2] "
            "AFileId [101] Offset [1000].",
            "RestorePipelineSetup(394): -Debug-: FSR_MSG_SEEK_TO_OFFSET succeeded for TrellanId [2] "
            "AFileId [102] Offset [2000]."));
    for (const auto& line : fake.logs()) EXPECT_EQ(line.method, "debug");

    const auto map = job->getStreamPipeinfoMap();
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map.at(1).sessionHead, fake.session(1));
    EXPECT_EQ(map.at(1).archive, fake.archive(1));
    EXPECT_EQ(map.at(2).sessionHead, fake.session(2));
    EXPECT_EQ(map.at(2).archive, fake.archive(2));
}

TEST_F(RestoreRequestTest, OpeningFillsRecordsAndBodiesFieldByField) {
    fake.setPhysicalMachine("host-a");
    fake.setCopyNumber(2, 4);
    job->setRestoreArchiveFileInfoList({file(1), file(2)});
    ASSERT_TRUE(job->setupPipeline());

    const fakeplatform::Call made = fake.calls(Op::ArchiveMade)[1];
    EXPECT_EQ(made.objectParam, -2);
    EXPECT_TRUE(made.nullArg1);
    EXPECT_TRUE(made.flag);
    EXPECT_EQ(made.machineName, "host-a");

    const OpenArgs_t open = *fake.calls(Op::OpenArchiveFile)[1].openArgs;
    EXPECT_EQ(open.afileId, 102u);
    EXPECT_EQ(open.groupNumber, 9u);
    EXPECT_EQ(open.subclientId, 52u);
    EXPECT_EQ(open.trellanId, 2u);
    EXPECT_EQ(open.archiveOpenParam, 62u);
    EXPECT_EQ(open.openArgsValue, 0xA1A2A3A4A5ULL);
    EXPECT_EQ(open.text48, "");
    EXPECT_EQ(open.reserved80, 0u);

    const auto sends = fake.calls(Op::SendXDRMessage);
    ASSERT_EQ(sends.size(), 6u);
    const fakeplatform::SentMessage openMessage = *sends[2].message;
    EXPECT_EQ(openMessage.code, FSR_MSG_OPEN_ARCHIVE);
    EXPECT_EQ(openMessage.bodyLength, 88u);
    EXPECT_EQ(openMessage.arg1, 0);
    EXPECT_EQ(openMessage.arg2, -1);
    EXPECT_FALSE(openMessage.flagOnEntry);
    const FSROpenArchive body = *openMessage.open;
    EXPECT_EQ(body.requestValue, 0xA1A2A3A4A5ULL);
    EXPECT_EQ(body.reserved8, 0u);
    EXPECT_EQ(body.subclientId, 52u);
    EXPECT_EQ(body.messageValue, 0xB1B2u);
    EXPECT_EQ(body.copy, 4u);
    EXPECT_EQ(body.streamNumber, 2u);
    EXPECT_EQ(body.archiveFile.trellanId, 2u);
    EXPECT_EQ(body.archiveFile.subclientId, 52u);
    EXPECT_EQ(body.archiveFile.fileTrellanId, 2u);
    EXPECT_EQ(body.archiveFile.groupNumber, 9u);
    EXPECT_EQ(body.archiveFile.afileId, 102u);

    // Read-all goes out with no buffer at all, not with an empty one.
    const fakeplatform::SentMessage readAll = *sends[3].message;
    EXPECT_EQ(readAll.code, FSR_MSG_READ_ALL);
    EXPECT_FALSE(readAll.hasBuffer);
    EXPECT_EQ(readAll.arg2, -1);

    const fakeplatform::SentMessage seek = *sends[5].message;
    EXPECT_EQ(seek.code, FSR_MSG_SEEK_TO_OFFSET);
    EXPECT_EQ(seek.bodyLength, 16u);
    EXPECT_EQ(seek.seek->count, 1);
    ASSERT_EQ(seek.seekElements.size(), 1u);
    EXPECT_EQ(seek.seekElements[0].offset, 2000u);
    EXPECT_THAT(seek.seekElements[0].reserved, ElementsAre(0u, 0u, 0u, 0u));
    EXPECT_FALSE(seek.flagOnEntry);
}

TEST_F(RestoreRequestTest, WideTrellanIdIsCutOnlyForTheArchiveLibrary) {
    RestoreArchiveInfo wide = file(1);
    wide.trellanId = 0x100000002ULL;
    job->setRestoreArchiveFileInfoList({wide});
    ASSERT_TRUE(job->setupPipeline());
    EXPECT_EQ(fake.calls(Op::OpenArchiveFile)[0].openArgs->trellanId, 2u);
    const FSROpenArchive body = *fake.calls(Op::SendXDRMessage)[0].message->open;
    EXPECT_EQ(body.archiveFile.trellanId, 0x100000002ULL);
    EXPECT_EQ(body.archiveFile.fileTrellanId, 0x100000002ULL);

    // Such a file never matches what the archive object reports, so the next
    // request closes and opens it again.
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    fake.clearJournal();
    ASSERT_TRUE(job->setupPipeline());
    EXPECT_EQ(logTexts()[0],
              "RestorePipelineSetup(342): -Debug-: Same archive file [2] [101] not opened.");
    EXPECT_EQ(fake.calls(Op::OpenArchiveFile).size(), 1u);
}

TEST_F(RestoreRequestTest, SameFilesAgainCostOneSeekPerStreamAndNothingElse) {
    openFiles(3);
    auto list = files(3);
    for (auto& entry : list) entry.seekOffset += 5;
    job->setRestoreArchiveFileInfoList(list);
    ASSERT_TRUE(job->setupPipeline());

    EXPECT_THAT(sentCodes(), ElementsAre(FSR_MSG_SEEK_TO_OFFSET, FSR_MSG_SEEK_TO_OFFSET,
                                         FSR_MSG_SEEK_TO_OFFSET));
    EXPECT_THAT(fake.trace(),
                ElementsAre("GetArchiveFileId#1", "GetArchiveFileId#2", "GetArchiveFileId#3",
                            "send 0x18000095 session#1", "send 0x18000095 session#2",
                            "send 0x18000095 session#3"));
    EXPECT_EQ(fake.calls(Op::SendXDRMessage)[2].message->seekElements[0].offset, 3005u);
    EXPECT_EQ(fake.logs().size(), 3u);
}

TEST_F(RestoreRequestTest, OneMoreFileClosesTheOpenOnesAndOpensAllOnTheSameObjects) {
    openFiles(2);
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    fake.queueMessages(2, {PL_FS_CLOSE_AFILE});
    job->setRestoreArchiveFileInfoList(files(3));
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u));  // a new list alone changes nothing
    ASSERT_TRUE(job->setupPipeline());

    EXPECT_EQ(logTexts()[0],
              "RestorePipelineSetup(317): -Debug-: Size of stream pipe info map [2], archive file "
              "info [3]. Need to close archive files.");
    EXPECT_THAT(fake.trace(),
                ElementsAreArray<std::string>(
                    {"GetArchiveFileId#1", "send 0x1800001f session#1",
                     "CloseArchiveFileAndReleaseVolume#1", "readBuffer#1", "freeBuffer#1",
                     "GetArchiveFileId#2", "send 0x1800001f session#2",
                     "CloseArchiveFileAndReleaseVolume#2", "readBuffer#2", "freeBuffer#2",
                     "getNumber MSSQLAgent/DelayPipelineSetup", "openArchiveFile#1",
                     "send 0x18000002 session#3", "send 0x1800000c session#3", "openArchiveFile#2",
                     "send 0x18000002 session#4", "send 0x1800000c session#4",
                     "getPhysicalMachine", "new ZebArchive#3", "openArchiveFile#3",
                     "send 0x18000002 session#5", "send 0x1800000c session#5",
                     "send 0x18000095 session#3", "send 0x18000095 session#4",
                     "send 0x18000095 session#5"}));
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u, 3u));
    EXPECT_EQ(job->getStreamPipeinfoMap().at(1).sessionHead, fake.session(3));
}

TEST_F(RestoreRequestTest, OneFileLessClosesAllAndOpensTheRest) {
    openFiles(2);
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    fake.queueMessages(2, {PL_FS_CLOSE_AFILE});
    job->setRestoreArchiveFileInfoList(files(1));
    ASSERT_TRUE(job->setupPipeline());
    EXPECT_EQ(logTexts()[0],
              "RestorePipelineSetup(317): -Debug-: Size of stream pipe info map [2], archive file "
              "info [1]. Need to close archive files.");
    EXPECT_EQ(fake.calls(Op::CloseArchiveFileAndReleaseVolume).size(), 2u);
    EXPECT_EQ(fake.calls(Op::OpenArchiveFile).size(), 1u);
    EXPECT_THAT(mapKeys(), ElementsAre(1u));
}

TEST_F(RestoreRequestTest, SwappedFilesAreClosedAndOpenedAgain) {
    openFiles(2);
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    fake.queueMessages(2, {PL_FS_CLOSE_AFILE});
    job->setRestoreArchiveFileInfoList({file(2), file(1)});
    ASSERT_TRUE(job->setupPipeline());

    EXPECT_EQ(logTexts()[0],
              "RestorePipelineSetup(342): -Debug-: Same archive file [2] [102] not opened.");
    EXPECT_EQ(fake.calls(Op::CloseArchiveFileAndReleaseVolume).size(), 2u);
    const auto opens = fake.calls(Op::OpenArchiveFile);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].archive, 1);
    EXPECT_EQ(opens[0].openArgs->afileId, 102u);
    EXPECT_EQ(fake.calls(Op::SendXDRMessage).back().message->seekElements[0].offset, 1000u);
}

TEST_F(RestoreRequestTest, ReopeningEachRequestNeverComparesOrClosesAndFollowsEachSeek) {
    EXPECT_FALSE(job->reopenEachRequest());
    job->setReopenEachRequest(true);
    EXPECT_TRUE(job->reopenEachRequest());
    openFiles(2);
    ASSERT_TRUE(job->setupPipeline());

    EXPECT_THAT(fake.trace(),
                ElementsAre("getNumber MSSQLAgent/DelayPipelineSetup", "openArchiveFile#1",
                            "send 0x18000002 session#3", "send 0x1800000c session#3",
                            "openArchiveFile#2", "send 0x18000002 session#4",
                            "send 0x1800000c session#4", "send 0x18000095 session#3",
                            "send 0x18000004 session#3", "send 0x18000095 session#4",
                            "send 0x18000004 session#4"));
    // The follow-up goes out on the seek's own buffer and body, element and
    // all. Bytes 4-7 of the body are padding that nobody writes, so the
    // fields are compared, not the bytes.
    const auto sends = fake.calls(Op::SendXDRMessage);
    EXPECT_EQ(sends[5].message->bufferAddress, sends[4].message->bufferAddress);
    EXPECT_EQ(sends[5].message->bodyAddress, sends[4].message->bodyAddress);
    EXPECT_EQ(sends[5].message->bodyLength, 16u);
    EXPECT_EQ(sends[5].message->seek->count, 1);
    EXPECT_EQ(sends[5].message->seek->elements, sends[4].message->seek->elements);
    EXPECT_TRUE(sends[5].message->flagOnEntry == sends[4].message->flagOnEntry);
    EXPECT_EQ(sends[5].message->seekElements[0].offset, 1000u);
    EXPECT_EQ(sends[7].message->seekElements[0].offset, 2000u);
    EXPECT_EQ(logTexts().back(),
              "RestorePipelineSetup(405): -Debug-: FSR_MSG_CLOSE_ARCHIVE succeeded for TrellanId "
              "[2] AFileId [102] Offset [2000].");
}

TEST_F(RestoreRequestTest, OpenFailureStopsBeforeSeekingAndTheNextRequestRecovers) {
    fake.setResult(Op::OpenArchiveFile, -1, {.archive = 2});
    job->setRestoreArchiveFileInfoList(files(3));
    EXPECT_FALSE(job->setupPipeline());

    EXPECT_EQ(fake.logs().back().method, "error");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(468): -Error-: Failed to open ArchiveFile [102].");
    EXPECT_THAT(sentCodes(), ElementsAre(FSR_MSG_OPEN_ARCHIVE, FSR_MSG_READ_ALL));
    EXPECT_EQ(fake.archivesMade(), 2);
    EXPECT_THAT(mapKeys(), ElementsAre(1u));

    fake.setResult(Op::OpenArchiveFile, 0, {.archive = 2});
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    fake.clearJournal();
    EXPECT_TRUE(job->setupPipeline());
    EXPECT_EQ(fake.calls(Op::CloseArchiveFileAndReleaseVolume).size(), 1u);
    EXPECT_EQ(fake.calls(Op::OpenArchiveFile).size(), 3u);
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u, 3u));
}

TEST_F(RestoreRequestTest, FailedReadAllClosesItsStreamAndStops) {
    fake.setSendResult(CQiError(-5, "media gone"), {.session = 2, .code = FSR_MSG_READ_ALL});
    fake.queueMessages(2, {PL_FS_CLOSE_AFILE});
    job->setRestoreArchiveFileInfoList(files(3));
    EXPECT_FALSE(job->setupPipeline());

    EXPECT_THAT(fake.trace(),
                ElementsAre("getNumber MSSQLAgent/DelayPipelineSetup", "getPhysicalMachine",
                            "new ZebArchive#1", "openArchiveFile#1", "send 0x18000002 session#1",
                            "send 0x1800000c session#1", "getPhysicalMachine", "new ZebArchive#2",
                            "openArchiveFile#2", "send 0x18000002 session#2",
                            "send 0x1800000c session#2", "GetArchiveFileId#2",
                            "send 0x1800001f session#2", "CloseArchiveFileAndReleaseVolume#2",
                            "readBuffer#2", "freeBuffer#2"));
    EXPECT_THAT(logTexts(),
                ::testing::Contains(
                    "RestorePipelineSetup(510): -Error-: Failed to send FSR_MSG_READ_ALL for copy "
                    "[1], AFileID [102] with error [media gone]."));
    EXPECT_THAT(mapKeys(), ElementsAre(1u));
}

TEST_F(RestoreRequestTest, FailedSeekLeavesEveryStreamOpen) {
    fake.setSendResult(CQiError(-3, "no seek"), {.session = 2, .code = FSR_MSG_SEEK_TO_OFFSET});
    job->setRestoreArchiveFileInfoList(files(3));
    EXPECT_FALSE(job->setupPipeline());

    const auto sends = fake.calls(Op::SendXDRMessage);
    EXPECT_EQ(sends.back().session, 2);
    EXPECT_EQ(sends.back().message->code, FSR_MSG_SEEK_TO_OFFSET);
    EXPECT_EQ(fake.logs().back().method, "error");
    EXPECT_EQ(fake.logs().back().text,
              "RestorePipelineSetup(389): -Error-: Failed to send FSR_MSG_SEEK_TO_OFFSET for "
              "TrellanId [2] AFileId [102] Offset [2000] with error [no seek].");
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u, 3u));
}

TEST_F(RestoreRequestTest, FailedFollowUpAfterASuccessfulSeek) {
    job->setReopenEachRequest(true);
    fake.setSendResult(CQiError(-1, "refused"), {.code = FSR_MSG_SEEK_FOLLOW_UP});
    job->setRestoreArchiveFileInfoList(files(2));
    EXPECT_FALSE(job->setupPipeline());

    const auto texts = logTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2],
              "RestorePipelineSetup(394): -Debug-: FSR_MSG_SEEK_TO_OFFSET succeeded for TrellanId "
              "[2] AFileId [101] Offset [1000].");
    EXPECT_EQ(texts.back(),
              "RestorePipelineSetup(402): -Error-: Failed to send FSR_MSG_CLOSE_ARCHIVE for offset "
              "[1000] with error [refused]");
    EXPECT_EQ(fake.calls(Op::SendXDRMessage).back().message->code, FSR_MSG_SEEK_FOLLOW_UP);
}

TEST_F(RestoreRequestTest, DelaySettingSpacesTheStreamsOneSecondApart) {
    const auto openThree = [this] {
        fake.clearJournal();
        RestorePipelineSetup other;
        other.setRestoreArchiveFileInfoList(files(3));
        EXPECT_TRUE(other.setupPipeline());
    };

    fake.setSetting("MSSQLAgent", "DelayPipelineSetup", 5);
    openThree();
    EXPECT_EQ(logTexts()[0],
              "RestorePipelineSetup(428): -Debug-: DelayPipelineSetup registry key is present "
              "with value [5].");
    const auto pauses = fake.calls(Op::Sleep);
    ASSERT_EQ(pauses.size(), 2u);
    for (const auto& pause : pauses) {
        EXPECT_EQ(pause.pauseMs, 1000u);
        EXPECT_EQ(pause.unit, "RestorePipelineSetup");
        EXPECT_EQ(pause.line, 438);
    }
    const auto trace = fake.trace();
    const auto firstPause = std::find(trace.begin(), trace.end(), "sleep 1000");
    ASSERT_NE(firstPause, trace.end());
    EXPECT_EQ(*(firstPause - 1), "send 0x1800000c session#1");
    EXPECT_EQ(*(firstPause + 1), "getPhysicalMachine");

    fake.setSetting("MSSQLAgent", "DelayPipelineSetup", 0);
    openThree();
    EXPECT_EQ(logTexts()[0],
              "RestorePipelineSetup(428): -Debug-: DelayPipelineSetup registry key is present "
              "with value [0].");
    EXPECT_THAT(fake.calls(Op::Sleep), IsEmpty());

    fake.removeSetting("MSSQLAgent", "DelayPipelineSetup");
    openThree();
    EXPECT_NE(logTexts()[0].find("(490)"), std::string::npos);
    EXPECT_THAT(fake.calls(Op::Sleep), IsEmpty());
}

TEST_F(RestoreRequestTest, ListLongerThanTheSlotsIsRefusedBeforeAnything) {
    job->setRestoreArchiveFileInfoList(files(66));
    EXPECT_FALSE(job->setupPipeline());
    EXPECT_FALSE(job->OpenArchiveFilesForRestore());
    EXPECT_FALSE(job->SeekToOffsetInArchiveFiles());
    EXPECT_TRUE(job->CheckIfNeedToCloseArchiveFiles());
    EXPECT_THAT(fake.journal(), IsEmpty());
    const std::string refused =
        "RestorePipelineSetup(300): -Error-: Archive file list has [66] entries, more than the "
        "[65] streams supported.";
    EXPECT_THAT(logTexts(),
                ElementsAre(refused, refused, refused,
                            "RestorePipelineSetup(317): -Debug-: Size of stream pipe info map [0], "
                            "archive file info [66]. Need to close archive files."));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(fake.logs()[i].method, "error");

    job->setRestoreArchiveFileInfoList(files(65));
    EXPECT_TRUE(job->setupPipeline());
    EXPECT_EQ(fake.archivesMade(), 65);
}

TEST_F(RestoreRequestTest, ListLongerThanTheSlotsWhileFilesAreOpenClosesNothing) {
    openFiles(2);
    job->setRestoreArchiveFileInfoList(files(66));
    EXPECT_FALSE(job->setupPipeline());

    // Refused before the comparison: nothing is closed, the open files stay.
    EXPECT_THAT(fake.journal(), IsEmpty());
    ASSERT_EQ(fake.logs().size(), 1u);
    EXPECT_EQ(fake.logs()[0].method, "error");
    EXPECT_EQ(fake.logs()[0].text,
              "RestorePipelineSetup(300): -Error-: Archive file list has [66] entries, more than "
              "the [65] streams supported.");
    EXPECT_THAT(mapKeys(), ElementsAre(1u, 2u));
}

TEST_F(RestoreRequestTest, SeekRefusesAListLongerThanTheSlotsByItself) {
    job->setRestoreArchiveFileInfoList(files(66));
    EXPECT_FALSE(job->SeekToOffsetInArchiveFiles());
    EXPECT_THAT(fake.journal(), IsEmpty());
    ASSERT_EQ(fake.logs().size(), 1u);
    EXPECT_EQ(fake.logs()[0].method, "error");
    EXPECT_EQ(fake.logs()[0].text,
              "RestorePipelineSetup(300): -Error-: Archive file list has [66] entries, more than "
              "the [65] streams supported.");
}

TEST_F(RestoreRequestTest, OpenFailingWithAPositiveCodeFailsToo) {
    fake.setResult(Op::OpenArchiveFile, 3, {.archive = 1});
    job->setRestoreArchiveFileInfoList(files(2));
    EXPECT_FALSE(job->setupPipeline());

    EXPECT_THAT(fake.trace(),
                ElementsAre("getNumber MSSQLAgent/DelayPipelineSetup", "getPhysicalMachine",
                            "new ZebArchive#1", "openArchiveFile#1"));
    ASSERT_EQ(fake.logs().size(), 1u);
    EXPECT_EQ(fake.logs()[0].method, "error");
    EXPECT_EQ(fake.logs()[0].text,
              "RestorePipelineSetup(468): -Error-: Failed to open ArchiveFile [101].");
    EXPECT_THAT(mapKeys(), IsEmpty());
}

TEST_F(RestoreRequestTest, OpenRecordCarriesTheListsTrellanId) {
    // The record's own default Trellan id is 2, as in file(); these differ.
    for (uint64_t trellanId : {uint64_t{0x1234ABCD}, uint64_t{0x50000000DULL}}) {
        SCOPED_TRACE(trellanId);
        job.reset();
        fake.restart();
        job = std::make_unique<RestorePipelineSetup>();
        RestoreArchiveInfo entry = file(1);
        entry.trellanId = trellanId;
        job->setRestoreArchiveFileInfoList({entry});
        ASSERT_TRUE(job->setupPipeline());

        // Bytes 24-27 of the record: the low 32 bits, in the platform's order.
        const OpenArgs_t open = *fake.calls(Op::OpenArchiveFile)[0].openArgs;
        const auto low = static_cast<uint32_t>(trellanId);
        unsigned char expected[4];
        std::memcpy(expected, &low, sizeof expected);
        unsigned char bytes[4];
        std::memcpy(bytes, reinterpret_cast<const unsigned char*>(&open) + 24, sizeof bytes);
        EXPECT_THAT(bytes, ElementsAreArray(expected));
        EXPECT_EQ(open.trellanId, low);
        const FSROpenArchive body = *fake.calls(Op::SendXDRMessage)[0].message->open;
        EXPECT_EQ(body.archiveFile.trellanId, trellanId);
        EXPECT_EQ(body.archiveFile.fileTrellanId, trellanId);
        EXPECT_EQ(logTexts().back(),
                  "RestorePipelineSetup(394): -Debug-: FSR_MSG_SEEK_TO_OFFSET succeeded for "
                  "TrellanId [" +
                      std::to_string(trellanId) + "] AFileId [101] Offset [1000].");
    }

    // A Trellan id that fits in 32 bits is the one the open file reports, so
    // the same list again is only sought.
    job.reset();
    fake.restart();
    job = std::make_unique<RestorePipelineSetup>();
    RestoreArchiveInfo entry = file(1);
    entry.trellanId = 0x1234ABCD;
    job->setRestoreArchiveFileInfoList({entry});
    ASSERT_TRUE(job->setupPipeline());
    fake.clearJournal();
    ASSERT_TRUE(job->setupPipeline());
    EXPECT_THAT(fake.trace(), ElementsAre("GetArchiveFileId#1", "send 0x18000095 session#1"));
}

TEST_F(RestoreRequestTest, DelaySettingFoundWithANegativeAnswerIsLogged) {
    // Any nonzero answer means that the key is present.
    fake.setSetting("MSSQLAgent", "DelayPipelineSetup", 5);
    fake.setResult(Op::GetNumber, -1);
    job->setRestoreArchiveFileInfoList(files(2));
    ASSERT_TRUE(job->setupPipeline());
    ASSERT_FALSE(fake.logs().empty());
    EXPECT_EQ(fake.logs()[0].method, "debug");
    EXPECT_EQ(fake.logs()[0].text,
              "RestorePipelineSetup(428): -Debug-: DelayPipelineSetup registry key is present "
              "with value [5].");
    EXPECT_EQ(fake.calls(Op::Sleep).size(), 1u);
}

TEST_F(RestoreRequestTest, EmptyListOpensNothing) {
    EXPECT_TRUE(job->setupPipeline());
    EXPECT_THAT(fake.trace(), ElementsAre("getNumber MSSQLAgent/DelayPipelineSetup"));
    EXPECT_THAT(fake.logs(), IsEmpty());

    openFiles(2);
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    fake.queueMessages(2, {PL_FS_CLOSE_AFILE});
    job->setRestoreArchiveFileInfoList({});
    EXPECT_TRUE(job->setupPipeline());
    EXPECT_EQ(fake.calls(Op::CloseArchiveFileAndReleaseVolume).size(), 2u);
    EXPECT_THAT(fake.calls(Op::OpenArchiveFile), IsEmpty());
    EXPECT_THAT(mapKeys(), IsEmpty());
}

}  // namespace
