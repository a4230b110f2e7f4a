#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <set>
#include <thread>

#include "LocalFixture.h"

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"

using localplatform::ArchiveFileRecord;

namespace {

std::string contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

using LocalBackupTest = LocalPlatformTest;

TEST_F(LocalBackupTest, CreateWriteCloseLeavesAClosedFileOfItsSize) {
    CreateRet_t created;
    std::memset(&created, 0xCC, sizeof created);
    auto archive = create(&created);

    const unsigned char zero[12] = {};
    EXPECT_EQ(std::memcmp(created.leading, zero, sizeof created.leading), 0);
    EXPECT_EQ(std::memcmp(created.trailing, zero, sizeof created.trailing), 0);
    EXPECT_GE(created.trellanId, 1u);
    EXPECT_LE(created.trellanId, 0x7FFFFFFFu);
    EXPECT_EQ(created.groupNumber, 1u);  // stream 1 of this job

    ArchiveFileRecord record;
    ASSERT_TRUE(localplatform::createdArchiveFile(config.jobId, 1, &record));
    EXPECT_EQ(record.afileId, created.afileId);
    ASSERT_TRUE(localplatform::findArchiveFile(created.trellanId, 1, created.afileId, &record));
    EXPECT_EQ(record.state, "writing");
    EXPECT_TRUE(record.writerAlive);
    EXPECT_EQ(record.path, localplatform::storeDirectory() + "/files/" +
                               std::to_string(created.afileId) + ".arch");

    const std::string data = bytes(2500);
    std::string error;
    ASSERT_TRUE(localplatform::writeStream(config.jobId, 1, data.data(), 1000, &error)) << error;
    ASSERT_TRUE(localplatform::writeStream(config.jobId, 1, data.data() + 1000, 1500, &error));
    unsigned long long offset = 0;
    EXPECT_EQ(archive->GetCurrentArchiveFileOffset(&offset), 0);
    EXPECT_EQ(offset, 2500u);

    EXPECT_EQ(close(*archive, idOf(created)), 0);
    ASSERT_TRUE(localplatform::findArchiveFile(created.trellanId, 1, created.afileId, &record));
    EXPECT_EQ(record.state, "closed");
    EXPECT_EQ(record.size, 2500u);
    EXPECT_EQ(record.jobId, config.jobId);
    EXPECT_EQ(contents(record.path), data);  // the data and nothing else
    EXPECT_EQ(record.sha256, sha256Hex(data));
    const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    EXPECT_TRUE(std::regex_match(record.createdAt, utc)) << record.createdAt;
    EXPECT_TRUE(std::regex_match(record.updatedAt, utc)) << record.updatedAt;

    EXPECT_FALSE(localplatform::writeStream(config.jobId, 1, "x", 1, &error));
    EXPECT_NE(close(*archive, idOf(created)), 0);  // closed once only
}

TEST_F(LocalBackupTest, RefusesPipelinesItDoesNotUnderstandAndCreatesNothing) {
    ZebArchive archive(nullptr, true, nullptr);
    SetupPipelineArgs_t setup;
    setup.recordKind = 1;
    setup.pipelineKind = 3;
    EXPECT_NE(archive.setupPipeline(nullptr, "", nullptr), 0);
    EXPECT_NE(archive.setupPipeline(&setup, "", nullptr), 0);
    setup.recordKind = 2;
    setup.pipelineKind = 4;
    EXPECT_NE(archive.setupPipeline(&setup, "", nullptr), 0);
    EXPECT_NE(log().find("ERROR job " + std::to_string(config.jobId) +
                         ": local platform: setupPipeline: a record of kind 2 for pipeline kind 4"),
              std::string::npos)
        << log();

    CreateArgs_t args;
    CreateRet_t created;
    EXPECT_NE(archive.createArchiveFile(&args, &created), 0);
    unsigned long long offset = 9;
    EXPECT_NE(archive.GetCurrentArchiveFileOffset(&offset), 0);
    EXPECT_EQ(offset, 9u);
    EXPECT_TRUE(localplatform::listArchiveFiles().empty());
}

TEST_F(LocalBackupTest, StreamsCountPerJobAndWriteStreamReachesEachOwnFile) {
    CreateRet_t first, second, other;
    auto stream1 = create(&first);
    auto stream2 = create(&second);
    const unsigned long long job = config.jobId;
    useJob(job + 100000);
    auto otherJob = create(&other);

    EXPECT_EQ(first.groupNumber, 1u);
    EXPECT_EQ(second.groupNumber, 2u);
    EXPECT_EQ(other.groupNumber, 1u);
    EXPECT_EQ(first.trellanId, other.trellanId);  // one store, one Trellan id
    EXPECT_NE(first.afileId, other.afileId);

    std::string error;
    ASSERT_TRUE(localplatform::writeStream(job, 2, "two", 3, &error)) << error;
    ASSERT_TRUE(localplatform::writeStream(job + 100000, 1, "other", 5, &error)) << error;
    EXPECT_FALSE(localplatform::writeStream(job, 3, "x", 1, &error));
    EXPECT_EQ(error, "no archive file is open for writing for job " + std::to_string(job) +
                         " stream 3");

    ArchiveFileRecord record;
    ASSERT_TRUE(localplatform::createdArchiveFile(job, 2, &record));
    EXPECT_EQ(record.afileId, second.afileId);
    ASSERT_TRUE(localplatform::findArchiveFile(second.trellanId, 2, second.afileId, &record));
    EXPECT_EQ(record.size, 3u);  // bytes so far while writing
    EXPECT_EQ(contents(record.path), "two");
    ASSERT_TRUE(localplatform::createdArchiveFile(job + 100000, 1, &record));
    EXPECT_EQ(record.afileId, other.afileId);
    EXPECT_EQ(contents(record.path), "other");
    EXPECT_FALSE(localplatform::createdArchiveFile(job, 3, &record));
}

// Whatever is already in files/ under an archive file's name is never
// replaced: its id is skipped, also when only its description is there.
TEST_F(LocalBackupTest, ExistingFilesAreNeverReplacedAndTheirIdsAreSkipped) {
    const std::string files = localplatform::storeDirectory() + "/files/";
    std::ofstream(files + "1.arch") << "left over";
    std::filesystem::create_directories(files + "2.arch");
    std::ofstream(files + "3.meta") << "someone else's";
    CreateRet_t created;
    auto archive = create(&created);
    EXPECT_EQ(created.groupNumber, 1u);
    EXPECT_EQ(created.afileId, 4u);
    EXPECT_EQ(contents(files + "1.arch"), "left over");
    EXPECT_TRUE(std::filesystem::is_directory(files + "2.arch"));
    EXPECT_FALSE(std::filesystem::exists(files + "3.arch"));
    EXPECT_EQ(contents(files + "3.meta"), "someone else's");
}

TEST_F(LocalBackupTest, AFailedCreationLeavesNoRecordAndGivesItsStreamNumberBack) {
    const std::string files = localplatform::storeDirectory() + "/files";
    std::filesystem::rename(files, files + ".away");
    std::ofstream(files) << "not a directory";
    ZebArchive archive(nullptr, true, nullptr);
    CreateRet_t created;
    EXPECT_NE(tryCreate(archive, &created), 0);
    EXPECT_NE(log().find("createArchiveFile: cannot create " + files + "/1.arch"),
              std::string::npos)
        << log();
    EXPECT_TRUE(localplatform::listArchiveFiles().empty());

    std::filesystem::remove(files);
    std::filesystem::rename(files + ".away", files);
    CreateArgs_t again;
    ASSERT_EQ(archive.createArchiveFile(&again, &created), 0);
    EXPECT_EQ(created.groupNumber, 1u);
    EXPECT_EQ(created.afileId, 1u);
}

TEST_F(LocalBackupTest, CloseAfileRefusesAnotherFilesIdentity) {
    CreateRet_t created;
    auto archive = create(&created);
    const ArchiveFileId_t id = idOf(created);
    for (ArchiveFileId_t wrong : {ArchiveFileId_t{id.trellanId + 1, id.groupNumber, id.afileId},
                                  ArchiveFileId_t{id.trellanId, id.groupNumber + 1, id.afileId},
                                  ArchiveFileId_t{id.trellanId, id.groupNumber, id.afileId + 1}}) {
        EXPECT_NE(close(*archive, wrong), 0);
    }
    EXPECT_EQ(state(id), "writing");
    EXPECT_EQ(close(*archive, id), 0);
    EXPECT_EQ(state(id), "closed");
}

TEST_F(LocalBackupTest, AFileDeletedWhileWritingStaysWritingAndRestoreRefusesIt) {
    CreateRet_t created;
    auto archive = create(&created);
    std::string error;
    ASSERT_TRUE(localplatform::writeStream(config.jobId, 1, "partial", 7, &error));
    archive.reset();

    // The job lives on (its lock is held) until it is failed.
    ArchiveFileRecord record;
    ASSERT_TRUE(localplatform::findArchiveFile(created.trellanId, 1, created.afileId, &record));
    EXPECT_EQ(record.state, "writing");
    EXPECT_EQ(record.size, 7u);
    EXPECT_TRUE(record.writerAlive);
    EXPECT_FALSE(localplatform::writeStream(config.jobId, 1, "more", 4, &error));
    localplatform::failJob(config.jobId);
    ASSERT_TRUE(localplatform::findArchiveFile(created.trellanId, 1, created.afileId, &record));
    EXPECT_FALSE(record.writerAlive);

    int result = 0;
    auto restore = open(idOf(created), &result);
    EXPECT_NE(result, 0);
    EXPECT_NE(log().find("openArchiveFile: cannot open " + describe(idOf(created)) +
                         ": it is incomplete: still being written, or its job did not finish"),
              std::string::npos)
        << log();
}

TEST_F(LocalBackupTest, InvalidationIsIdempotentAndRestoreRefusesInvalidatedFiles) {
    const ArchiveFileId_t id = backup("data");
    std::string text;
    EXPECT_EQ(invalidate({id.afileId}, id.trellanId, &text), 0);
    EXPECT_EQ(text, "invalidated 1 archive file(s) of job " + std::to_string(config.jobId));
    EXPECT_EQ(state(id), "invalidated");
    EXPECT_EQ(invalidate({id.afileId}, id.trellanId), 0);
    EXPECT_EQ(state(id), "invalidated");

    int result = 0;
    auto restore = open(id, &result);
    EXPECT_NE(result, 0);
    EXPECT_NE(log().find("cannot open " + describe(id) + ": it was invalidated"),
              std::string::npos);
}

TEST_F(LocalBackupTest, InvalidationNamingAnUnknownFileFailsAndInvalidatesNothing) {
    const ArchiveFileId_t id = backup("data");
    std::string text;
    EXPECT_NE(invalidate({id.afileId, 999999}, id.trellanId, &text), 0);
    EXPECT_NE(text.find("no archive file 999999"), std::string::npos) << text;
    EXPECT_NE(log().find("ERROR job " + std::to_string(config.jobId) +
                         ": local platform: invalidateArchFilesByJob: "),
              std::string::npos);
    EXPECT_NE(invalidate({id.afileId}, id.trellanId + 1), 0);  // another Trellan id
    config.jobId += 1;
    EXPECT_NE(invalidate({id.afileId}, id.trellanId), 0);  // another job
    EXPECT_EQ(state(id), "closed");
}

TEST_F(LocalBackupTest, AFileInvalidatedWhileWritingIsNeverClosed) {
    CreateRet_t created;
    auto archive = create(&created);
    EXPECT_EQ(invalidate({created.afileId}, created.trellanId), 0);
    EXPECT_NE(close(*archive, idOf(created)), 0);
    EXPECT_EQ(state(idOf(created)), "invalidated");
}

TEST_F(LocalBackupTest, ConcurrentCreatorsInOneProcessGetDistinctIdentitiesAndStreams) {
    constexpr int kPerThread = 8;
    std::vector<CreateRet_t> made(2 * kPerThread);
    const auto creator = [&](int first) {
        for (int i = first; i < first + kPerThread; ++i) {
            auto archive = create(&made[i]);
            close(*archive, idOf(made[i]));
        }
    };
    std::thread a(creator, 0), b(creator, kPerThread);
    a.join();
    b.join();

    std::set<uint32_t> afileIds, streams;
    for (const CreateRet_t& created : made) {
        afileIds.insert(created.afileId);
        streams.insert(created.groupNumber);
    }
    EXPECT_EQ(afileIds.size(), made.size());
    EXPECT_EQ(streams, (std::set<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    for (const ArchiveFileRecord& record : localplatform::listArchiveFiles()) {
        EXPECT_EQ(record.state, "closed") << record.afileId;
    }
}

// Two agents on one store at once, each with its own job.
TEST_F(LocalBackupTest, ConcurrentProcessesGetDistinctIdentities) {
    constexpr int kPerProcess = 10;
    const auto createFiles = [&] {
        for (int i = 0; i < kPerProcess; ++i) {
            CreateRet_t created;
            auto archive = create(&created);
            if (close(*archive, idOf(created)) != 0) return false;
        }
        return true;
    };
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        useJob(config.jobId + 500000);
        _exit(createFiles() ? 0 : 1);
    }
    const bool created = createFiles();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(created);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const auto records = localplatform::listArchiveFiles();
    ASSERT_EQ(records.size(), 2u * kPerProcess);
    std::set<uint32_t> afileIds;
    std::set<std::pair<unsigned long long, unsigned long>> streams;
    for (const ArchiveFileRecord& record : records) {
        afileIds.insert(record.afileId);
        streams.insert({record.jobId, record.stream});
        EXPECT_EQ(record.state, "closed");
        EXPECT_EQ(record.trellanId, records.front().trellanId);
    }
    EXPECT_EQ(afileIds.size(), records.size());
    EXPECT_EQ(streams.size(), records.size());
}
