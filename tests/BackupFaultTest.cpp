// What a backup job does when the platform throws part way.
#include <gmock/gmock.h>

#include <new>
#include <stdexcept>

#include "tests/BackupFixture.h"
#include "tests/FaultChecks.h"

using fakeplatform::Action;
using fakeplatform::Op;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class BackupFaultTest : public BackupFixture {
protected:
    bool held(unsigned long stream) {
        unsigned long long offset = 0;
        return job->getArchiveFileOffset(stream, offset);
    }

    // Each closeAfile carried the identity that createArchiveFile wrote for
    // the same archive object: the two maps stayed paired.
    void expectClosesMatchTheirObjects() {
        for (const auto& call : fake.calls(Op::CloseAfile)) {
            const auto created = fake.facts(call.archive).created;
            ASSERT_TRUE(created.has_value()) << call.describe();
            EXPECT_EQ(call.closeAfileArgs->trellanId, created->trellanId) << call.describe();
            EXPECT_EQ(call.closeAfileArgs->groupNumber, created->groupNumber);
            EXPECT_EQ(call.closeAfileArgs->afileId, created->afileId) << call.describe();
        }
    }
};

// A call made while stream 2 is set up: the nth of its operation.
struct StreamCall {
    Op op;
    int nth;
};

class BackupStreamThrowTest : public BackupFaultTest,
                              public ::testing::WithParamInterface<StreamCall> {};

TEST_P(BackupStreamThrowTest, StreamBeingMadeIsDeletedAndTheEarlierOnesStayHeld) {
    fake.inject(GetParam().op, {.nth = GetParam().nth}, Action::throws(std::bad_alloc()));
    EXPECT_THROW(job->setupPipeline(0, 1, 3, "x"), std::bad_alloc);
    EXPECT_THAT(faultchecks::helpersLeftBehind(fake), IsEmpty());
    EXPECT_TRUE(held(1));
    EXPECT_FALSE(held(2));
    EXPECT_EQ(fake.liveArchives(), 1);

    fake.clearRules();
    EXPECT_TRUE(job->closePipeline(1, false));
    EXPECT_EQ(fake.calls(Op::CloseAfile).size(), 1u);
    expectClosesMatchTheirObjects();
}

INSTANTIATE_TEST_SUITE_P(Platform, BackupStreamThrowTest,
                         ::testing::Values(StreamCall{Op::ArchiveMade, 2},
                                           StreamCall{Op::SetupPipeline, 2},
                                           StreamCall{Op::CreateArchiveFile, 2},
                                           StreamCall{Op::Sleep, 2},
                                           // after setupPipeline's own and stream 1's
                                           StreamCall{Op::EventMade, 3}),
                         [](const auto& info) {
                             return std::string(fakeplatform::opName(info.param.op));
                         });

TEST_F(BackupFaultTest, ThrowDuringTheAllStreamsCloseKeepsTheStreamsNotYetClosed) {
    ASSERT_TRUE(job->setupPipeline(0, 1, 3, "x"));
    fake.inject(Op::FreeBuffer, {.nth = 2}, Action::throws(std::runtime_error("lost")));
    EXPECT_THROW(job->closePipeline(1, false), std::runtime_error);
    EXPECT_THAT(faultchecks::helpersLeftBehind(fake), IsEmpty());
    EXPECT_FALSE(held(1));
    EXPECT_TRUE(held(2));
    EXPECT_TRUE(held(3));

    // Stream 2's close starts again from its archive file.
    fake.clearRules();
    fake.clearJournal();
    EXPECT_TRUE(job->closePipeline(1, false));
    EXPECT_THAT(fake.trace(),
                ElementsAre("closeAfile#2", "SetRestartContext#2", "freeBuffer#2",
                            "closePipeline#2", "delete ZebArchive#2", "closeAfile#3",
                            "SetRestartContext#3", "freeBuffer#3", "closePipeline#3",
                            "delete ZebArchive#3"));
    expectClosesMatchTheirObjects();
}

TEST_F(BackupFaultTest, ThrowDuringTheInvalidationKeepsTheStream) {
    ASSERT_TRUE(job->setupPipeline(0, 1, 2, "x"));
    fake.inject(Op::GetJobId, {.nth = 1}, Action::throws(std::runtime_error("no job")));
    EXPECT_THROW(job->closePipeline(2, 0, false), std::runtime_error);
    EXPECT_THAT(faultchecks::helpersLeftBehind(fake), IsEmpty());
    EXPECT_TRUE(held(2));
    EXPECT_TRUE(job->closePipeline(2, 0, false));
    EXPECT_FALSE(held(2));
    EXPECT_TRUE(held(1));
}

}  // namespace
