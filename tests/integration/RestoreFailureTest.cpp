#include <sys/types.h>

#include "IntegrationFixture.h"

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

const std::string kOpen = "FSR_MSG_OPEN_ARCHIVE";
const std::string kReadAll = "FSR_MSG_READ_ALL";
const std::string kSeek = "FSR_MSG_SEEK_TO_OFFSET";
const std::string kClose = "FSR_MSG_CLOSE_ARCHIVE";
const std::string kEnd = "FSR_MSG_RESTORE_END";

}  // namespace

// The middle entry of a three-stream list names an archive file that cannot
// be opened: one of a job whose files were invalidated, or one whose data
// file is gone. The request fails at it with the documented line, stream 1
// stays open, stream 3 is never touched; the agent's close and shutdown end
// the restore and leave no archive file open.
class ABadFileInTheList : public LibraryOnLocalPlatform,
                          public ::testing::WithParamInterface<std::string> {};

TEST_P(ABadFileInTheList, FailsTheRequestThereAndLeavesNothingOpen) {
    const BackupSet set = backup({bytes(9000, 1)}, 3);
    std::vector<RestoreArchiveInfo> list = requestFor(set, 0, true);
    std::string why;
    if (GetParam() == "invalidated") {
        // A second job whose streams were all invalidated by the archive
        // manager; its stream 2 takes the middle place.
        const unsigned long long job = nextJob();
        localplatform::setCurrentJob(job);
        localplatform::beginJob(job);
        BackupPipelineSetup failed;
        ASSERT_TRUE(failed.setupPipeline(0, 1, 2, "failed"));
        ASSERT_TRUE(failed.closePipeline(0, false));
        localplatform::failJob(job);
        localplatform::ArchiveFileRecord second;
        ASSERT_TRUE(localplatform::createdArchiveFile(job, 2, &second));
        list[1].trellanId = second.trellanId;
        list[1].groupNumber = second.groupNumber;
        list[1].afileId = second.afileId;
        why = ": it was invalidated";
    } else {
        std::filesystem::remove(set.archives[1].path);
        why = ": its data file " + set.archives[1].path + " is missing";
    }
    localplatform::setCurrentJob(nextJob());

    {
        RestorePipelineSetup restore;
        const std::size_t mark = log().size();
        restore.setRestoreArchiveFileInfoList(list);
        EXPECT_FALSE(restore.setupPipeline());
        const std::string text = logSince(mark);
        EXPECT_EQ(count(text, "RestorePipelineSetup(468): -Error-: Failed to open ArchiveFile [" +
                                  std::to_string(list[1].afileId) + "].\n"),
                  1u)
            << text;
        EXPECT_EQ(count(text, "local platform: openArchiveFile: cannot open archive file (" +
                                  std::to_string(list[1].trellanId) + ", " +
                                  std::to_string(list[1].groupNumber) + ", " +
                                  std::to_string(list[1].afileId) + ")" + why + "\n"),
                  1u)
            << text;
        EXPECT_EQ(accepted(text), (std::vector<Accepted>{{1, kOpen}, {1, kReadAll}})) << text;
        EXPECT_EQ(count(text, "FSR_MSG_SEEK_TO_OFFSET"), 0u) << text;
        const auto streams = restore.getStreamPipeinfoMap();
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_EQ(streams.begin()->first, 1u);

        const std::size_t closing = log().size();
        EXPECT_TRUE(restore.closePipeline());
        EXPECT_TRUE(restore.shutDownPipeline());
        const std::string end = logSince(closing);
        EXPECT_EQ(accepted(end), (std::vector<Accepted>{{1, kClose}, {1, kEnd}})) << end;
        EXPECT_EQ(count(end, streamName(set, 1) + ": ended: its archive object was destroyed"), 1u)
            << end;
    }
    EXPECT_EQ(openArchiveData(), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(InvalidatedOrMissing, ABadFileInTheList,
                         ::testing::Values("invalidated", "missing"));

// Media that make no progress: every stream's read fails after the timeout,
// and from then on every close the library makes ends at once with its
// failure and its documented line: the closing of a changed list, the
// closing of the pipelines and the shutdown. Nothing waits beyond the
// timeout, and no archive file stays open.
TEST_F(LibraryOnLocalPlatform, StalledMediaFailTheReadsAndEveryCloseEndsAtOnce) {
    const BackupSet set = backup({bytes(6000, 1)}, 3);
    config.mediaTimeout = milliseconds(200);
    config.mediaChunkDelay = std::chrono::hours(1);
    localplatform::openStore(config, localplatform::Access::ReadWrite, true);
    localplatform::setCurrentJob(nextJob());

    RestorePipelineSetup restore;
    restore.setRestoreArchiveFileInfoList(requestFor(set, 0, true));
    ASSERT_TRUE(restore.setupPipeline());
    const auto start = Clock::now();
    const auto streams = restore.getStreamPipeinfoMap();
    std::vector<std::thread> readers;
    std::vector<int> results(3, -1);
    for (const auto& [stream, info] : streams) {
        ZebArchive* archive = info.archive;
        int* result = &results[stream - 1];
        readers.emplace_back([archive, result] {
            std::string data;
            *result = readData(archive, 1, &data) ? 1 : 0;
        });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0}));
    std::string text = log();
    for (unsigned long s = 1; s <= 3; ++s) {
        EXPECT_EQ(count(text, streamName(set, s) +
                                  ": no progress from the media side in 200 ms while waiting for "
                                  "data; giving up\n"),
                  1u)
            << text;
    }

    // A changed list: the close of the open files fails at stream 1.
    std::size_t mark = log().size();
    std::vector<RestoreArchiveInfo> fewer = requestFor(set, 0, true);
    fewer.pop_back();
    restore.setRestoreArchiveFileInfoList(fewer);
    EXPECT_FALSE(restore.setupPipeline());
    text = logSince(mark);
    EXPECT_EQ(count(text, "RestorePipelineSetup(219): -Debug-: Stream [1]: "
                          "SendXDRMessage(FSR_MSG_CLOSE_ARCHIVE) failed. Error:[local platform: "
                          "FSR_MSG_CLOSE_ARCHIVE (0x1800001F) refused on " +
                              streamName(set, 1) + ": the media side timed out after 200 ms"),
              1u)
        << text;
    EXPECT_EQ(restore.getStreamPipeinfoMap().size(), 3u);

    mark = log().size();
    EXPECT_FALSE(restore.closePipeline());
    EXPECT_TRUE(restore.shutDownPipeline());
    text = logSince(mark);
    for (int s = 1; s <= 3; ++s) {
        EXPECT_EQ(count(text, "RestorePipelineSetup(114): -Debug-: Stream [" + std::to_string(s) +
                                  "]: SendXDRMessage(FSR_MSG_CLOSE_ARCHIVE) failed."),
                  1u)
            << text;
        EXPECT_EQ(count(text, "RestorePipelineSetup(176): -Debug-: Failed to send "
                              "FSR_MSG_RESTORE_END for stream(" + std::to_string(s - 1) + ")"),
                  1u)
            << text;
    }
    EXPECT_EQ(accepted(text), std::vector<Accepted>());
    // The three reads waited out their timeout side by side; nothing else
    // waited at all.
    EXPECT_LT(Clock::now() - start, milliseconds(200) + std::chrono::seconds(2));
    EXPECT_EQ(openArchiveData(), std::vector<std::string>());
}

// The archive file of stream 2 is cut short under a read-all: its read
// fails at the cut with the platform's line, the other streams deliver
// everything, and the closing waits end promptly: stream 2's at
// PL_FS_READ_ALL_ABORTED, since its read-all did not get to the end.
TEST_F(LibraryOnLocalPlatform, AFileCutShortUnderAReadAllFailsItsReadAndTheCloseStillEnds) {
    const BackupSet set = backup({bytes(60000, 1)}, 3);
    localplatform::setCurrentJob(nextJob());
    RestorePipelineSetup restore;
    restore.setRestoreArchiveFileInfoList(requestFor(set, 0, true));
    ASSERT_TRUE(restore.setupPipeline());
    // At most four chunks of 1000 can have been read ahead by now.
    ASSERT_EQ(::truncate(set.archives[1].path.c_str(), 8000), 0);

    const auto streams = restore.getStreamPipeinfoMap();
    std::vector<std::string> data(3);
    std::vector<bool> complete(3);
    std::vector<std::thread> readers;
    for (const Share& share : set.files[0].shares) {
        ZebArchive* archive = streams.at(share.stream).archive;
        readers.emplace_back([&, archive, share] {
            complete[share.stream - 1] = readData(archive, share.size, &data[share.stream - 1]);
        });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(complete, (std::vector<bool>{true, false, true}));
    const Share& cut = set.files[0].shares[1];
    EXPECT_EQ(data[1], set.files[0].data.substr(cut.begin, 8000));
    EXPECT_EQ(count(log(), streamName(set, 2) +
                               ": the file ends at offset 8000, before its 20000 bytes\n"),
              1u)
        << log();

    const std::size_t mark = log().size();
    const auto start = Clock::now();
    EXPECT_TRUE(restore.closePipeline());
    EXPECT_TRUE(restore.shutDownPipeline());
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    const std::string text = logSince(mark);
    EXPECT_EQ(count(text, "RestorePipelineSetup(141): -Debug-: Received PL_FS_READ_ALL_ABORTED "
                          "message for database stream 2\n"),
              1u)
        << text;
    EXPECT_EQ(count(text, "Received PL_FS_DESTROY message for database stream"), 2u) << text;
    EXPECT_EQ(openArchiveData(), std::vector<std::string>());
}
