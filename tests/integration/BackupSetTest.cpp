#include "IntegrationFixture.h"

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Jobs.h"

// A set of three files over three streams: every stream's archive file holds
// its shares of the files one after the other, at the offsets that
// getArchiveFileOffset answered before each share, and the mandated pause
// was made (logged, not slept) once per stream.
TEST_F(LibraryOnLocalPlatform, ABackupSetPutsEachStreamsSharesOfEveryFileInItsArchiveFile) {
    const std::vector<std::string> files{bytes(7000, 1), bytes(4501, 2), bytes(10, 3)};
    const std::size_t mark = log().size();
    const BackupSet set = backup(files, 3);
    ASSERT_EQ(set.archives.size(), 3u);

    for (unsigned long s = 1; s <= 3; ++s) {
        std::string expected;
        for (const BackedUpFile& file : set.files) {
            const Share& share = file.shares[s - 1];
            EXPECT_EQ(share.offset, expected.size()) << "stream " << s;
            expected += file.data.substr(share.begin, share.size);
        }
        const localplatform::ArchiveFileRecord& archive = set.archives[s - 1];
        EXPECT_EQ(archive.state, "closed");
        EXPECT_EQ(archive.stream, s);
        std::ifstream data(archive.path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(data), {}), expected)
            << "stream " << s;
    }
    // The shares of each file cover it exactly, in stream order.
    for (const BackedUpFile& file : set.files) {
        unsigned long long next = 0;
        for (const Share& share : file.shares) {
            EXPECT_EQ(share.begin, next);
            next += share.size;
        }
        EXPECT_EQ(next, file.data.size());
    }
    const std::string text = logSince(mark);
    EXPECT_EQ(count(text, "local platform: pausing 2000 ms for BackupPipelineSetup:232"), 3u)
        << text;
    const auto jobs = localplatform::listJobs();
    ASSERT_FALSE(jobs.empty());
    EXPECT_EQ(jobs.back().jobId, set.jobId);
    EXPECT_EQ(jobs.back().state, "complete");
}
