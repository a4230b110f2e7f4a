#include <gmock/gmock.h>

#include <climits>
#include <string>

#include "tests/BackupFixture.h"

using fakeplatform::Op;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using BackupSetupTest = BackupFixture;

TEST_F(BackupSetupTest, SetsUpEachStreamInOrderWithAPauseAfterItsArchiveFile) {
    ASSERT_TRUE(job->setupPipeline(81, 2, 2, "create text"));

    EXPECT_THAT(fake.trace(),
                ElementsAre("new ZebArchive#1", "setupPipeline#1", "createArchiveFile#1",
                            "sleep 2000", "new ZebArchive#2", "setupPipeline#2",
                            "createArchiveFile#2", "sleep 2000"));
    for (const auto& made : fake.calls(Op::ArchiveMade)) {
        EXPECT_TRUE(made.nullArg1);  // no job-control client
        EXPECT_TRUE(made.flag);
        EXPECT_FALSE(made.text.has_value());
    }
    for (const auto& setup : fake.calls(Op::SetupPipeline)) {
        EXPECT_EQ(setup.text, std::string());  // an empty text, not null
        EXPECT_TRUE(setup.nullArg2);
    }
    for (const auto& pause : fake.calls(Op::Sleep)) {
        EXPECT_EQ(pause.unit, "BackupPipelineSetup");
        EXPECT_EQ(pause.line, 232);
    }
    EXPECT_THAT(fake.logs(), IsEmpty());
}

TEST_F(BackupSetupTest, FillsTheSharedSetupRecord) {
    ASSERT_TRUE(job->setupPipeline(81, 2, 2, "create text"));

    const auto setups = fake.calls(Op::SetupPipeline);
    ASSERT_EQ(setups.size(), 2u);
    for (const auto& call : setups) {
        const SetupPipelineArgs_t& a = *call.setupArgs;
        EXPECT_EQ(a.recordKind, 1u);
        EXPECT_EQ(a.dataType, 4u);
        EXPECT_EQ(a.setupValue2, 0x55u);
        EXPECT_EQ(a.reserved24, 0u);
        EXPECT_EQ(a.setupValue3, 7u);  // low 32 bits only
        EXPECT_EQ(a.setupValue1, 0x1111222233334444ULL);
        EXPECT_EQ(a.text48, "");
        EXPECT_EQ(a.reserved80 | a.reserved88 | a.reserved96 | a.reserved104, 0u);
        EXPECT_EQ(a.setupText, "job text");
        EXPECT_EQ(a.typeCode, 2u);
        EXPECT_EQ(a.typeDetail, 81u);
        EXPECT_EQ(a.reserved168, 0u);
        EXPECT_EQ(a.pipelineKind, 4u);
        EXPECT_EQ(a.useIndexing, 1u);
        EXPECT_EQ(a.reserved192 | a.reserved200, 0u);
        EXPECT_FALSE(a.flag208);
    }
}

TEST_F(BackupSetupTest, FillsEachStreamsCreateRecord) {
    ASSERT_TRUE(job->setupPipeline(81, 2, 2, "create text"));

    ASSERT_EQ(fake.calls(Op::CreateArchiveFile).size(), 2u);
    for (const auto& call : fake.calls(Op::CreateArchiveFile)) {
        const CreateArgs_t& a = *call.createArgs;
        EXPECT_EQ(a.createText, "create text");
        EXPECT_EQ(a.reserved32, 0u);
        EXPECT_EQ(a.typeCode, 2u);
        EXPECT_EQ(a.dataType, 4u);
        for (uint64_t word : a.reserved56) EXPECT_EQ(word, 0u);
    }
}

TEST_F(BackupSetupTest, SetupTextStopsAtItsFirstNul) {
    job = std::make_unique<BackupPipelineSetup>(0, 0, 0, std::string("ab\0cd", 5));
    ASSERT_TRUE(job->setupPipeline(0, 1, 1, "x"));
    EXPECT_EQ(fake.calls(Op::SetupPipeline)[0].setupArgs->setupText, "ab");
}

struct DataTypeCase {
    unsigned long typeCode;
    unsigned long typeDetail;
    uint64_t dataType;
};

class BackupDataTypeTest : public BackupFixture,
                           public ::testing::WithParamInterface<DataTypeCase> {};

TEST_P(BackupDataTypeTest, ReachesSetupAndCreateRecords) {
    const DataTypeCase c = GetParam();
    ASSERT_TRUE(job->setupPipeline(c.typeDetail, c.typeCode, 1, "x"));
    EXPECT_EQ(fake.calls(Op::SetupPipeline)[0].setupArgs->dataType, c.dataType);
    EXPECT_EQ(fake.calls(Op::CreateArchiveFile)[0].createArgs->dataType, c.dataType);
    EXPECT_EQ(fake.calls(Op::CreateArchiveFile)[0].createArgs->typeCode, c.typeCode);
}

INSTANTIATE_TEST_SUITE_P(Table, BackupDataTypeTest,
                         ::testing::Values(DataTypeCase{1, 0, 1}, DataTypeCase{2, 81, 4},
                                           DataTypeCase{2, 80, 1}, DataTypeCase{2, 82, 1},
                                           DataTypeCase{4, 81, 1}, DataTypeCase{3, 81, 0},
                                           DataTypeCase{0, 81, 0}, DataTypeCase{5, 1, 0}));

TEST_F(BackupSetupTest, EarlierSetDataTypeShowsOnlyForOtherTypeCodes) {
    job->setDataType(81, 2);
    ASSERT_TRUE(job->setupPipeline(0, 3, 1, "x"));
    EXPECT_EQ(fake.calls(Op::SetupPipeline)[0].setupArgs->dataType, 4u);

    BackupPipelineSetup other;
    other.setDataType(81, 2);
    fake.clearJournal();
    ASSERT_TRUE(other.setupPipeline(0, 1, 1, "x"));
    EXPECT_EQ(fake.calls(Op::SetupPipeline)[0].setupArgs->dataType, 1u);
    EXPECT_TRUE(other.closePipeline(1, false));
}

TEST_F(BackupSetupTest, IndexingFlagReachesEveryStream) {
    job->setUseIndexing(false);
    ASSERT_TRUE(job->setupPipeline(0, 1, 2, "x"));
    ASSERT_EQ(fake.calls(Op::SetupPipeline).size(), 2u);
    for (const auto& call : fake.calls(Op::SetupPipeline)) {
        EXPECT_EQ(call.setupArgs->useIndexing, 0u);
    }

    BackupPipelineSetup other;
    other.setUseIndexing(false);
    other.setUseIndexing(true);
    fake.clearJournal();
    ASSERT_TRUE(other.setupPipeline(0, 1, 1, "x"));
    EXPECT_EQ(fake.calls(Op::SetupPipeline)[0].setupArgs->useIndexing, 1u);
    EXPECT_TRUE(other.closePipeline(1, false));
}

TEST_F(BackupSetupTest, DefaultConstructorSendsZerosAndNoText) {
    job = std::make_unique<BackupPipelineSetup>();
    ASSERT_TRUE(job->setupPipeline(0, 1, 1, "x"));
    const SetupPipelineArgs_t a = *fake.calls(Op::SetupPipeline)[0].setupArgs;
    EXPECT_EQ(a.setupValue1 | a.setupValue2 | a.setupValue3, 0u);
    EXPECT_EQ(a.setupText, "");
}

TEST_F(BackupSetupTest, NoStreamsMeansNoPlatformCall) {
    EXPECT_TRUE(job->setupPipeline(0, 1, 0, "x"));
    EXPECT_THAT(fake.journal(), IsEmpty());
    EXPECT_TRUE(job->closePipeline(1, false));
    EXPECT_THAT(fake.journal(), IsEmpty());
}

TEST_F(BackupSetupTest, CreateFailureStopsAtThatStreamAndKeepsEarlierOnes) {
    fake.setResult(Op::CreateArchiveFile, -1, {.archive = 2});
    EXPECT_FALSE(job->setupPipeline(0, 1, 3, "x"));

    EXPECT_THAT(fake.trace(),
                ElementsAre("new ZebArchive#1", "setupPipeline#1", "createArchiveFile#1",
                            "sleep 2000", "new ZebArchive#2", "setupPipeline#2",
                            "createArchiveFile#2", "delete ZebArchive#2"));
    ASSERT_EQ(fake.logs().size(), 1u);
    EXPECT_EQ(fake.logs()[0].method, "error");
    EXPECT_EQ(fake.logs()[0].text,
              "BackupPipelineSetup(228): -Error-: Failed to create ArchiveFile for stream [2].");

    unsigned long long offset = 99;
    EXPECT_TRUE(job->getArchiveFileOffset(1, offset));
    EXPECT_FALSE(job->getArchiveFileOffset(2, offset));
    EXPECT_FALSE(job->getArchiveFileOffset(3, offset));

    // The close sees stream 1 only.
    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline(1, false));
    EXPECT_EQ(fake.calls(Op::CloseAfile).size(), 1u);
    EXPECT_EQ(fake.calls(Op::CloseAfile)[0].archive, 1);
}

TEST_F(BackupSetupTest, CreateFailingWithAPositiveCodeFailsToo) {
    fake.setResult(Op::CreateArchiveFile, 4, {.archive = 1});
    EXPECT_FALSE(job->setupPipeline(0, 1, 2, "x"));

    EXPECT_THAT(fake.trace(), ElementsAre("new ZebArchive#1", "setupPipeline#1",
                                          "createArchiveFile#1", "delete ZebArchive#1"));
    ASSERT_EQ(fake.logs().size(), 1u);
    EXPECT_EQ(fake.logs()[0].method, "error");
    EXPECT_EQ(fake.logs()[0].text,
              "BackupPipelineSetup(228): -Error-: Failed to create ArchiveFile for stream [1].");
    unsigned long long offset = 0;
    EXPECT_FALSE(job->getArchiveFileOffset(1, offset));
}

TEST_F(BackupSetupTest, OffsetQueryFailingWithAPositiveCodeFails) {
    ASSERT_TRUE(job->setupPipeline(0, 1, 1, "x"));
    fake.setOffset(1, 111);
    fake.setResult(Op::GetCurrentArchiveFileOffset, 6, {.archive = 1});
    unsigned long long offset = 7;
    EXPECT_FALSE(job->getArchiveFileOffset(1, offset));
    EXPECT_EQ(offset, 7u);
    EXPECT_THAT(fake.logs(), IsEmpty());
}

TEST_F(BackupSetupTest, PipelineFailureCreatesNothingAndDoesNotPause) {
    fake.setResult(Op::SetupPipeline, 5);
    EXPECT_FALSE(job->setupPipeline(0, 1, 3, "x"));

    EXPECT_THAT(fake.trace(),
                ElementsAre("new ZebArchive#1", "setupPipeline#1", "delete ZebArchive#1"));
    ASSERT_EQ(fake.logs().size(), 1u);
    EXPECT_EQ(fake.logs()[0].method, "error");
    EXPECT_EQ(fake.logs()[0].text,
              "BackupPipelineSetup(215): -Error-: Failed to setup pipeline for stream [1].");
}

TEST_F(BackupSetupTest, OffsetComesFromTheStreamsArchiveObject) {
    ASSERT_TRUE(job->setupPipeline(0, 1, 2, "x"));
    fake.setOffset(1, 111);
    fake.setOffset(2, 222);

    unsigned long long offset = 0;
    EXPECT_TRUE(job->getArchiveFileOffset(2, offset));
    EXPECT_EQ(offset, 222u);
    EXPECT_TRUE(job->getArchiveFileOffset(1, offset));
    EXPECT_EQ(offset, 111u);

    fake.setResult(Op::GetCurrentArchiveFileOffset, -1, {.archive = 2});
    offset = 7;
    EXPECT_FALSE(job->getArchiveFileOffset(2, offset));
    EXPECT_EQ(offset, 7u);

    fake.clearJournal();
    EXPECT_FALSE(job->getArchiveFileOffset(3, offset));
    EXPECT_EQ(offset, 7u);
    EXPECT_THAT(fake.journal(), IsEmpty());
    EXPECT_THAT(fake.logs(), IsEmpty());
}

TEST_F(BackupSetupTest, HeldStreamIsRefusedBeforeAnythingIsMade) {
    ASSERT_TRUE(job->setupPipeline(0, 1, 2, "x"));
    fake.clearJournal();

    EXPECT_FALSE(job->AddStreamToPipeline(2, "again"));
    EXPECT_FALSE(job->setupPipeline(0, 1, 2, "again"));
    EXPECT_THAT(fake.journal(), IsEmpty());
    ASSERT_EQ(fake.logs().size(), 2u);
    EXPECT_EQ(fake.logs()[0].method, "error");
    EXPECT_EQ(fake.logs()[0].text,
              "BackupPipelineSetup(205): -Error-: Stream [2] is already set up.");
    EXPECT_EQ(fake.logs()[1].text,
              "BackupPipelineSetup(205): -Error-: Stream [1] is already set up.");

    // Once closed, the stream numbers are free again.
    ASSERT_TRUE(job->closePipeline(1, false));
    EXPECT_TRUE(job->AddStreamToPipeline(2, "again"));
}

TEST_F(BackupSetupTest, StreamCountBeyondTheLargestStreamNumberIsRefused) {
    EXPECT_FALSE(job->setupPipeline(0, 1, 1UL << 31, "x"));
    EXPECT_THAT(fake.journal(), IsEmpty());
    ASSERT_EQ(fake.logs().size(), 1u);
    EXPECT_EQ(fake.logs()[0].method, "error");
    EXPECT_EQ(fake.logs()[0].text,
              "BackupPipelineSetup(196): -Error-: Stream count [2147483648] exceeds the "
              "largest stream number [2147483647].");

    // The largest count is accepted: its first stream is tried.
    fake.setResult(Op::SetupPipeline, -1);
    EXPECT_FALSE(job->setupPipeline(0, 1, INT_MAX, "x"));
    EXPECT_EQ(fake.archivesMade(), 1);
}

}  // namespace
