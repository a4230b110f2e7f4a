#include "IntegrationFixture.h"

#include "platform/local/ArchiveFiles.h"
#include "platform/local/StoreSession.h"

namespace {

std::vector<Accepted> each(unsigned long streams, std::vector<std::string> messages) {
    std::vector<Accepted> expected;
    for (unsigned long s = 1; s <= streams; ++s) {
        for (const std::string& message : messages) expected.push_back(Accepted{s, message});
    }
    return expected;
}

std::vector<Accepted> operator+(std::vector<Accepted> first, const std::vector<Accepted>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

const std::string kOpen = "FSR_MSG_OPEN_ARCHIVE";
const std::string kReadAll = "FSR_MSG_READ_ALL";
const std::string kSeek = "FSR_MSG_SEEK_TO_OFFSET";
const std::string kFollowUp = "FSR_MSG_SEEK_FOLLOW_UP";
const std::string kClose = "FSR_MSG_CLOSE_ARCHIVE";
const std::string kEnd = "FSR_MSG_RESTORE_END";

}  // namespace

// Shares of several chunks, so that a read-all has data in flight past the
// share that the stream reads.
class RestoreBySeek : public LibraryOnLocalPlatform {
protected:
    void SetUp() override {
        LibraryOnLocalPlatform::SetUp();
        set = backup({bytes(9000, 1), bytes(7501, 2), bytes(6002, 3)}, 3);
        localplatform::setCurrentJob(nextJob());
    }

    BackupSet set;
};

// One request per file on one restore object: the first opens the archive
// files; every later one, naming the same files with other offsets, reaches
// the media side as exactly one seek per stream. The files come out of
// order, so that data of the previous position still in flight (the shares
// that follow it) would show if a seek did not drop it.
TEST_F(RestoreBySeek, EveryFileOfASetBySeekOnTheSameOpenFiles) {
    RestorePipelineSetup restore;
    std::size_t mark = log().size();
    restore.setRestoreArchiveFileInfoList(requestFor(set, 1, true));
    ASSERT_TRUE(restore.setupPipeline());
    EXPECT_EQ(accepted(logSince(mark)), each(3, {kOpen, kReadAll}) + each(3, {kSeek}));
    EXPECT_EQ(readFile(restore, set.files[1]), set.files[1].data);

    for (const std::size_t file : {0, 2}) {
        mark = log().size();
        restore.setRestoreArchiveFileInfoList(requestFor(set, file, true));
        ASSERT_TRUE(restore.setupPipeline()) << file;
        const std::string text = logSince(mark);
        EXPECT_EQ(accepted(text), each(3, {kSeek})) << text;
        EXPECT_EQ(count(text, "local platform: opened "), 0u) << text;
        EXPECT_EQ(count(text, "local platform: "), 3u) << "nothing but the seeks: " << text;
        for (const Share& share : set.files[file].shares) {
            EXPECT_EQ(count(text, streamName(set, share.stream) +
                                      ": accepted FSR_MSG_SEEK_TO_OFFSET (0x18000095) at offset " +
                                      std::to_string(share.offset) + ", reading on to the end"),
                      1u)
                << text;
        }
        // The last file read with small pieces: maxLength holds through the
        // library's streams.
        EXPECT_EQ(readFile(restore, set.files[file], file == 2 ? 333 : 0), set.files[file].data)
            << file;
    }

    // Everything of the last shares, the files' ends, was read: no read-all
    // was cut short, so each wait ends at PL_FS_DESTROY.
    mark = log().size();
    EXPECT_TRUE(restore.closePipeline());
    std::string text = logSince(mark);
    EXPECT_EQ(accepted(text), each(3, {kClose}));
    for (int s = 1; s <= 3; ++s) {
        const std::string stream = std::to_string(s);
        EXPECT_EQ(count(text, "RestorePipelineSetup(137): -Debug-: Received PL_FS_CLOSE_AFILE "
                              "message for database stream " + stream + "\n"),
                  1u)
            << text;
        EXPECT_EQ(count(text, "RestorePipelineSetup(146): -Debug-: Received PL_FS_DESTROY "
                              "message for database stream " + stream + ".\n"),
                  1u)
            << text;
    }
    EXPECT_EQ(count(text, "PL_FS_READ_ALL_ABORTED"), 0u) << text;
    mark = log().size();
    EXPECT_TRUE(restore.shutDownPipeline());
    EXPECT_EQ(accepted(logSince(mark)), each(3, {kEnd}));
    EXPECT_EQ(openArchiveData(), std::vector<std::string>());
}

// A list of another size, then the same size with two streams' files
// swapped: each time every open stream is closed, then the listed files are
// opened and sought, and the streams read the files the list names.
TEST_F(RestoreBySeek, AChangedListClosesAndReopens) {
    const BackupSet other = backup({bytes(3000, 4)}, 2);
    localplatform::setCurrentJob(nextJob());
    RestorePipelineSetup restore;
    restore.setRestoreArchiveFileInfoList(requestFor(set, 0, true));
    ASSERT_TRUE(restore.setupPipeline());
    EXPECT_EQ(readFile(restore, set.files[0]), set.files[0].data);

    std::size_t mark = log().size();
    restore.setRestoreArchiveFileInfoList(requestFor(other, 0, true));
    ASSERT_TRUE(restore.setupPipeline());
    std::string text = logSince(mark);
    EXPECT_EQ(count(text, "RestorePipelineSetup(317): -Debug-: Size of stream pipe info map [3], "
                          "archive file info [2]. Need to close archive files."),
              1u)
        << text;
    EXPECT_EQ(accepted(text), each(3, {kClose}) + each(2, {kOpen, kReadAll}) + each(2, {kSeek}));
    EXPECT_EQ(count(text, "and released its volume"), 3u) << text;
    EXPECT_EQ(readFile(restore, other.files[0]), other.files[0].data);

    // Back to the set, with the first two entries swapped.
    restore.setRestoreArchiveFileInfoList(requestFor(set, 2, true));
    ASSERT_TRUE(restore.setupPipeline());  // 2 -> 3 streams: closed and opened again
    std::vector<RestoreArchiveInfo> swapped = requestFor(set, 2, true);
    std::swap(swapped[0], swapped[1]);
    mark = log().size();
    restore.setRestoreArchiveFileInfoList(swapped);
    ASSERT_TRUE(restore.setupPipeline());
    text = logSince(mark);
    EXPECT_EQ(count(text, "RestorePipelineSetup(342): -Debug-: Same archive file [" +
                              std::to_string(swapped[0].trellanId) + "] [" +
                              std::to_string(swapped[0].afileId) + "] not opened."),
              1u)
        << text;
    EXPECT_EQ(accepted(text), each(3, {kClose}) + each(3, {kOpen, kReadAll}) + each(3, {kSeek}));
    const auto streams = restore.getStreamPipeinfoMap();
    const std::vector<Share>& shares = set.files[2].shares;
    for (const auto& [stream, share] : {std::pair{1ul, shares[1]}, std::pair{2ul, shares[0]}}) {
        std::string data;
        EXPECT_TRUE(readData(streams.at(stream).archive, share.size, &data));
        EXPECT_EQ(data, set.files[2].data.substr(share.begin, share.size)) << stream;
    }
    EXPECT_TRUE(restore.closePipeline());
    EXPECT_TRUE(restore.shutDownPipeline());
    EXPECT_EQ(openArchiveData(), std::vector<std::string>());
}

// Reopening each request: every request opens the files anew on the same
// archive objects, and every seek is followed by its second message.
TEST_F(RestoreBySeek, ReopenEachRequestOpensAgainAndFollowsEverySeekUp) {
    RestorePipelineSetup restore;
    restore.setReopenEachRequest(true);
    for (const std::size_t file : {2, 0}) {
        const std::size_t mark = log().size();
        restore.setRestoreArchiveFileInfoList(requestFor(set, file, true));
        ASSERT_TRUE(restore.setupPipeline()) << file;
        const std::string text = logSince(mark);
        EXPECT_EQ(accepted(text), each(3, {kOpen, kReadAll}) + each(3, {kSeek, kFollowUp}))
            << text;
        EXPECT_EQ(count(text, "local platform: opened archive file"), 3u) << text;
        EXPECT_EQ(count(text, "Need to close archive files"), 0u) << text;
        EXPECT_EQ(readFile(restore, set.files[file]), set.files[file].data) << file;
    }
    // The first request's media sides ended when the files were opened again.
    EXPECT_EQ(count(log(), ": ended: a later openArchiveFile replaced it\n"), 3u) << log();
    EXPECT_TRUE(restore.closePipeline());
    EXPECT_TRUE(restore.getStreamPipeinfoMap().empty());  // every wait ended: each dropped
    EXPECT_TRUE(restore.shutDownPipeline());
    EXPECT_EQ(openArchiveData(), std::vector<std::string>());
}

// readAll false restores one file: no FSR_MSG_READ_ALL, the media side
// delivers what the streams read, and a close before the archive files' end
// cuts no read-all short. With readAll the same close reports the cut.
TEST_F(RestoreBySeek, ASingleFileWithoutReadAllAndTheSameWithIt) {
    for (const bool readAll : {false, true}) {
        RestorePipelineSetup restore;
        std::size_t mark = log().size();
        restore.setRestoreArchiveFileInfoList(requestFor(set, 1, readAll));
        ASSERT_TRUE(restore.setupPipeline());
        std::string text = logSince(mark);
        EXPECT_EQ(accepted(text), each(3, readAll ? std::vector{kOpen, kReadAll}
                                                  : std::vector{kOpen}) +
                                      each(3, {kSeek}))
            << text;
        EXPECT_EQ(count(text, readAll ? "reading on to the end of the file"
                                      : "reading what the stream takes"),
                  3u)
            << text;
        EXPECT_EQ(count(text, "-Debug-: Restoring only a single file so FSR_MSG_READ_ALL NOT "
                              "sent for copy [1]"),
                  readAll ? 0u : 3u)
            << text;
        EXPECT_EQ(readFile(restore, set.files[1], 100), set.files[1].data);

        mark = log().size();
        EXPECT_TRUE(restore.closePipeline());
        text = logSince(mark);
        for (int s = 1; s <= 3; ++s) {
            const std::string stream = std::to_string(s);
            EXPECT_EQ(count(text, "RestorePipelineSetup(141): -Debug-: Received "
                                  "PL_FS_READ_ALL_ABORTED message for database stream " +
                                      stream + "\n"),
                      readAll ? 1u : 0u)
                << text;
            EXPECT_EQ(count(text, "RestorePipelineSetup(146): -Debug-: Received PL_FS_DESTROY "
                                  "message for database stream " + stream + ".\n"),
                      readAll ? 0u : 1u)
                << text;
        }
        EXPECT_TRUE(restore.shutDownPipeline());
    }
    EXPECT_EQ(openArchiveData(), std::vector<std::string>());
}
