#include <filesystem>
#include <thread>

#include "LocalFixture.h"

#include "platform/local/ArchiveFiles.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

// A closed archive file of 3500 bytes, read in chunks of 1000.
class LocalRestoreTest : public LocalPlatformTest {
protected:
    void SetUp() override {
        LocalPlatformTest::SetUp();
        if (IsSkipped()) return;
        data = bytes(3500);
        id = backup(data);
    }

    // A restore object with the file open on the media side as stream 1.
    std::unique_ptr<ZebArchive> openStream(CZebNetwork** head) {
        int result = -1;
        auto archive = open(id, &result, head);
        EXPECT_EQ(result, 0);
        EXPECT_FALSE(sendOpen(*head, id, 1).IsError());
        return archive;
    }

    std::string data;
    ArchiveFileId_t id{};
};

TEST_F(LocalRestoreTest, OpenRefusesFilesThatAreGoneOrChanged) {
    int result = 0;
    auto archive = open(ArchiveFileId_t{id.trellanId, id.groupNumber, id.afileId + 1}, &result);
    EXPECT_NE(result, 0);
    EXPECT_TRUE(contains(log(), "it is not in the catalog")) << log();

    localplatform::ArchiveFileRecord record;
    ASSERT_TRUE(localplatform::findArchiveFile(id.trellanId, id.groupNumber, id.afileId, &record));
    std::ofstream(record.path, std::ios::app) << 'x';
    archive = open(id, &result);
    EXPECT_NE(result, 0);
    EXPECT_TRUE(contains(log(), "cannot open " + describe(id) + ": its data file " + record.path +
                                    " has 3501 bytes; the catalog records 3500"))
        << log();

    std::filesystem::remove(record.path);
    archive = open(id, &result);
    EXPECT_NE(result, 0);
    EXPECT_TRUE(contains(log(), "its data file " + record.path + " is missing")) << log();
}

TEST_F(LocalRestoreTest, OpenHandsOutASessionHeadAndTheIdentity) {
    ZebArchive archive(-1, nullptr, true, "machine");
    ArchiveFileId_t open{7, 7, 7};
    EXPECT_NE(archive.GetArchiveFileId(&open), 0);
    EXPECT_EQ(open.afileId, 7u);
    EXPECT_NE(archive.CloseArchiveFileAndReleaseVolume(), 0);
    ReadBufRet_t ret{};
    EXPECT_EQ(archive.readBuffer(nullptr, &ret), 0);  // nothing open, nothing to wait for

    OpenArgs_t args;
    args.trellanId = id.trellanId;
    args.groupNumber = id.groupNumber;
    args.afileId = id.afileId;
    OpenRet_t opened{};
    ASSERT_EQ(archive.openArchiveFile(&args, &opened), 0);
    EXPECT_NE(opened.sessionHead, nullptr);
    EXPECT_EQ(opened.copy, 1u);
    ASSERT_EQ(archive.GetArchiveFileId(&open), 0);
    EXPECT_EQ(open.trellanId, id.trellanId);
    EXPECT_EQ(open.groupNumber, id.groupNumber);
    EXPECT_EQ(open.afileId, id.afileId);
}

TEST_F(LocalRestoreTest, OpenArchiveChecksItsBody) {
    int result = -1;
    CZebNetwork* head = nullptr;
    auto archive = open(id, &result, &head);
    ASSERT_EQ(result, 0);

    CQiError refused = sendSeek(head, 0);
    EXPECT_LT(refused.code(), 0);
    EXPECT_TRUE(contains(refused.AsString(), "FSR_MSG_OPEN_ARCHIVE has not opened the archive"))
        << refused.AsString();

    FSROpenArchive body = openBody(id, 1);
    refused = send(head, FSR_MSG_OPEN_ARCHIVE, &body, sizeof body - 1);
    EXPECT_LT(refused.code(), 0);
    EXPECT_TRUE(contains(refused.AsString(), "FSR_MSG_OPEN_ARCHIVE (0x18000002) refused on " +
                                                 describe(id) + ": its body has 87 bytes"))
        << refused.AsString();
    EXPECT_LT(sendEmpty(head, FSR_MSG_OPEN_ARCHIVE).code(), 0);
    for (int field = 0; field < 4; ++field) {
        body = openBody(id, 1);
        if (field == 0) body.archiveFile.trellanId += 1;
        if (field == 1) body.archiveFile.groupNumber += 1;
        if (field == 2) body.archiveFile.afileId += 1;
        if (field == 3) body.streamNumber = 0;
        EXPECT_LT(send(head, FSR_MSG_OPEN_ARCHIVE, &body, sizeof body).code(), 0) << field;
    }
    EXPECT_TRUE(contains(log(), "ERROR job " + std::to_string(config.jobId) +
                                    ": local platform: FSR_MSG_OPEN_ARCHIVE"));
    EXPECT_FALSE(sendOpen(head, id, 3).IsError());
    refused = sendSeek(head, data.size() + 1);
    EXPECT_TRUE(contains(refused.AsString(), "refused on stream 3, " + describe(id) +
                                                 ": offset 3501 is past the end of the "
                                                 "3500-byte file"))
        << refused.AsString();
}

// The offset lives only in the element that the body points to. Without
// FSR_MSG_READ_ALL the media side reads on as the chunks are taken.
TEST_F(LocalRestoreTest, SeekReadsTheFileFromTheOffsetInChunks) {
    config.chunkSize = 500;
    config.mediaTimeout = milliseconds(2000);
    reconfigure();
    CZebNetwork* head = nullptr;
    auto archive = openStream(&head);
    ASSERT_FALSE(sendSeek(head, 700).IsError());

    std::string read1;
    EXPECT_EQ(read(*archive, &read1), localplatform::kDataMessage);
    EXPECT_EQ(read1, data.substr(700, 500));
    std::string rest;
    EXPECT_EQ(read(*archive, &rest, 300), localplatform::kDataMessage);
    EXPECT_EQ(rest, data.substr(1200, 300));  // split by maxLength
    while (read(*archive, &rest) == localplatform::kDataMessage) {
    }
    EXPECT_EQ(read1 + rest, data.substr(700));
    EXPECT_EQ(read(*archive), 0);

    // A new seek restarts the reading; a follow-up only acknowledges.
    ASSERT_FALSE(sendSeek(head, 3000).IsError());
    ASSERT_FALSE(sendSeek(head, 10, FSR_MSG_SEEK_FOLLOW_UP).IsError());
    std::string tail;
    EXPECT_EQ(read(*archive, &tail), localplatform::kDataMessage);
    EXPECT_EQ(tail, data.substr(3000));
    EXPECT_EQ(read(*archive), 0);
}

TEST_F(LocalRestoreTest, MalformedAndUnknownMessagesAreRefused) {
    CZebNetwork* head = nullptr;
    auto archive = openStream(&head);
    FSRSeekArchive element;
    FSRSeekArchiveArray body;
    body.elements = &element;
    const auto seekRefusal = [&](unsigned long code, std::size_t length) {
        return send(head, code, &body, length).AsString();
    };
    for (unsigned long code : {FSR_MSG_SEEK_TO_OFFSET, FSR_MSG_SEEK_FOLLOW_UP}) {
        body.count = 1;
        EXPECT_TRUE(contains(seekRefusal(code, 8), "its body has 8 bytes")) << code;
        body.count = 2;
        EXPECT_TRUE(contains(seekRefusal(code, sizeof body), "it holds 2 elements")) << code;
        body.count = 1;
        body.elements = nullptr;
        EXPECT_TRUE(contains(seekRefusal(code, sizeof body), "its element pointer is null"));
        body.elements = &element;
        EXPECT_LT(sendEmpty(head, code).code(), 0);
    }

    const CQiError unknown = sendEmpty(head, 0x18000099);
    EXPECT_LT(unknown.code(), 0);
    EXPECT_TRUE(contains(unknown.AsString(), "message 0x18000099 refused")) << unknown.AsString();
    char byte = 0;
    EXPECT_LT(sendEmpty(head, FSR_MSG_READ_ALL).code(), 0);  // no body at all, not an empty one
    EXPECT_LT(sendWithoutBody(head, FSR_MSG_CLOSE_ARCHIVE).code(), 0);
    EXPECT_LT(send(head, FSR_MSG_CLOSE_ARCHIVE, &byte, 1).code(), 0);
    EXPECT_LT(sendWithoutBody(head, FSR_MSG_RESTORE_END).code(), 0);
    EXPECT_FALSE(sendWithoutBody(head, FSR_MSG_READ_ALL).IsError());
}

// closeArchFile: close, release the volume, wait for PL_FS_CLOSE_AFILE.
TEST_F(LocalRestoreTest, CloseThenReleaseAnswersCloseAfileOnly) {
    CZebNetwork* head = nullptr;
    auto archive = openStream(&head);
    ASSERT_FALSE(sendSeek(head, 0).IsError());
    EXPECT_EQ(read(*archive), localplatform::kDataMessage);

    ASSERT_FALSE(sendEmpty(head, FSR_MSG_CLOSE_ARCHIVE).IsError());
    EXPECT_EQ(archive->CloseArchiveFileAndReleaseVolume(), 0);
    EXPECT_EQ(read(*archive), PL_FS_CLOSE_AFILE);
    EXPECT_EQ(read(*archive), 0);
    ArchiveFileId_t open{};
    EXPECT_NE(archive->GetArchiveFileId(&open), 0);
    EXPECT_LT(sendSeek(head, 0).code(), 0);

    // A later close on the same session head (closePipeline after
    // closeArchFile) is answered again, and the pipeline torn down.
    ASSERT_FALSE(sendEmpty(head, FSR_MSG_CLOSE_ARCHIVE).IsError());
    EXPECT_EQ(read(*archive), PL_FS_CLOSE_AFILE);
    EXPECT_EQ(read(*archive), PL_FS_DESTROY);
    EXPECT_EQ(read(*archive), 0);
}

// closePipeline: close, then wait past PL_FS_CLOSE_AFILE for PL_FS_DESTROY.
TEST_F(LocalRestoreTest, CloseWithoutReleaseAnswersCloseAfileThenDestroy) {
    CZebNetwork* head = nullptr;
    auto archive = openStream(&head);
    ASSERT_FALSE(sendWithoutBody(head, FSR_MSG_READ_ALL).IsError());
    ASSERT_FALSE(sendSeek(head, 2000).IsError());
    std::string all;
    while (read(*archive, &all) == localplatform::kDataMessage) {
    }
    EXPECT_EQ(all, data.substr(2000));

    ASSERT_FALSE(sendEmpty(head, FSR_MSG_CLOSE_ARCHIVE).IsError());
    EXPECT_EQ(read(*archive), PL_FS_CLOSE_AFILE);  // everything was read: no abort
    EXPECT_EQ(read(*archive), PL_FS_DESTROY);
    EXPECT_EQ(read(*archive), 0);
}

TEST_F(LocalRestoreTest, ACloseCuttingAReadAllShortAnswersReadAllAbortedFirst) {
    CZebNetwork* head = nullptr;
    auto archive = openStream(&head);
    ASSERT_FALSE(sendWithoutBody(head, FSR_MSG_READ_ALL).IsError());
    ASSERT_FALSE(sendSeek(head, 0).IsError());
    EXPECT_EQ(read(*archive), localplatform::kDataMessage);

    ASSERT_FALSE(sendEmpty(head, FSR_MSG_CLOSE_ARCHIVE).IsError());
    EXPECT_EQ(read(*archive), PL_FS_READ_ALL_ABORTED);
    EXPECT_EQ(read(*archive), PL_FS_CLOSE_AFILE);
    EXPECT_EQ(read(*archive), PL_FS_DESTROY);
    EXPECT_EQ(read(*archive), 0);
}

TEST_F(LocalRestoreTest, ReadBufferAnswersAtOnceWhenNothingCanArrive) {
    CZebNetwork* head = nullptr;
    auto archive = openStream(&head);  // no seek: the media side reads nothing
    const auto start = Clock::now();
    EXPECT_EQ(read(*archive), 0);
    ASSERT_FALSE(sendSeek(head, data.size()).IsError());  // at the end
    EXPECT_EQ(read(*archive), 0);
    EXPECT_LT(Clock::now() - start, milliseconds(500));
}

TEST_F(LocalRestoreTest, AStalledMediaSideTimesOutAndIsStoppedPromptly) {
    config.mediaTimeout = milliseconds(30);
    config.mediaChunkDelay = milliseconds(500);
    reconfigure();
    CZebNetwork* head = nullptr;
    auto archive = openStream(&head);
    ASSERT_FALSE(sendSeek(head, 0).IsError());

    auto start = Clock::now();
    EXPECT_EQ(read(*archive), 0);
    EXPECT_GE(Clock::now() - start, milliseconds(30));
    EXPECT_TRUE(contains(log(), "ERROR job " + std::to_string(config.jobId) +
                                    ": local platform: stream 1, " + describe(id) +
                                    ": no progress from the media side in 30 ms while waiting "
                                    "for data; giving up"))
        << log();

    // The stream has failed: the closing calls fail at once, naming it.
    start = Clock::now();
    const CQiError closed = sendEmpty(head, FSR_MSG_CLOSE_ARCHIVE);
    EXPECT_LT(closed.code(), 0);
    EXPECT_TRUE(contains(closed.AsString(),
                         "FSR_MSG_CLOSE_ARCHIVE (0x1800001F) refused on stream 1, " + describe(id) +
                             ": the media side timed out after 30 ms without progress"))
        << closed.AsString();
    EXPECT_EQ(read(*archive), 0);
    EXPECT_NE(archive->CloseArchiveFileAndReleaseVolume(), 0);
    EXPECT_TRUE(contains(log(), "CloseArchiveFileAndReleaseVolume refused on stream 1, " +
                                    describe(id) + ": the media side timed out"))
        << log();
    EXPECT_LT(sendEmpty(head, FSR_MSG_RESTORE_END).code(), 0);
    archive.reset();  // neither waits for the worker
    EXPECT_LT(Clock::now() - start, milliseconds(250));
    const std::string text = log();
    EXPECT_EQ(text.find("giving up"), text.rfind("giving up")) << "the timeout is logged once";
}

TEST_F(LocalRestoreTest, RestoreEndEndsTheMediaSide) {
    CZebNetwork* head = nullptr;
    auto archive = openStream(&head);
    ASSERT_FALSE(sendSeek(head, 0).IsError());
    ASSERT_FALSE(sendEmpty(head, FSR_MSG_RESTORE_END).IsError());
    EXPECT_EQ(read(*archive), 0);
    const CQiError refused = sendSeek(head, 0);
    EXPECT_LT(refused.code(), 0);
    EXPECT_TRUE(contains(refused.AsString(), "the media side has ended: FSR_MSG_RESTORE_END"))
        << refused.AsString();
}

TEST_F(LocalRestoreTest, OpeningAgainReplacesTheFileAndKeepsOldSessionHeadsAlive) {
    const std::string other = bytes(10);
    const ArchiveFileId_t second = backup(other);
    CZebNetwork* first = nullptr;
    auto archive = openStream(&first);
    ASSERT_FALSE(sendSeek(first, 0).IsError());

    OpenArgs_t args;
    args.trellanId = second.trellanId;
    args.groupNumber = second.groupNumber;
    args.afileId = second.afileId;
    OpenRet_t opened{};
    ASSERT_EQ(archive->openArchiveFile(&args, &opened), 0);
    ASSERT_NE(opened.sessionHead, first);
    const CQiError refused = sendSeek(first, 0);  // the old head is alive, its media side is not
    EXPECT_TRUE(contains(refused.AsString(), "replaced")) << refused.AsString();

    ArchiveFileId_t open{};
    ASSERT_EQ(archive->GetArchiveFileId(&open), 0);
    EXPECT_EQ(open.afileId, second.afileId);
    ASSERT_FALSE(sendOpen(opened.sessionHead, second, 1).IsError());
    ASSERT_FALSE(sendSeek(opened.sessionHead, 0).IsError());
    std::string read1;
    EXPECT_EQ(read(*archive, &read1), localplatform::kDataMessage);
    EXPECT_EQ(read1, other);
}
