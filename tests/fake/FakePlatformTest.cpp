#include "platform/fake/FakePlatform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ArMgrClientAPI.h"
#include "platform/CZebNetwork.h"
#include "platform/EvEvent.h"
#include "platform/FsrMessages.h"
#include "platform/QiSleep.h"
#include "platform/ZebArchive.h"
#include "platform/ZebPlatformInfo.h"
#include "platform/zebsDatabuf_v2.h"

using namespace fakeplatform;

namespace {

template <typename T>
std::vector<unsigned char> bytesOf(const T& record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    return std::vector<unsigned char>(bytes, bytes + sizeof record);
}

class FakePlatformTest : public ::testing::Test {
protected:
    FakePlatform fake;
};

// --- Journal

TEST_F(FakePlatformTest, JournalsBackupCallsInOrderWithTheirArguments) {
    auto* archive = new ZebArchive(nullptr, true, "SQL stream");
    SetupPipelineArgs_t setup;
    archive->setupPipeline(&setup, "pipe", nullptr);
    CreateArgs_t create;
    CreateRet_t created;
    archive->createArchiveFile(&create, &created);
    unsigned long long offset = 1;
    archive->GetCurrentArchiveFileOffset(&offset);
    CloseAfileArgs_t close{};
    archive->closeAfile(&close, nullptr);
    archive->SetRestartContext(7);
    QISLEEP_InTeRnAl(2000, "Backup", 42);
    archive->freeBuffer(nullptr, nullptr);
    ClosePipelineArgs_t closePipeline{1, 2};
    archive->closePipeline(&closePipeline, nullptr);
    delete archive;

    EXPECT_EQ(fake.trace(),
              (std::vector<std::string>{"new ZebArchive#1", "setupPipeline#1",
                                        "createArchiveFile#1", "GetCurrentArchiveFileOffset#1",
                                        "closeAfile#1", "SetRestartContext#1", "sleep 2000",
                                        "freeBuffer#1", "closePipeline#1",
                                        "delete ZebArchive#1"}));
    const auto journal = fake.journal();
    EXPECT_TRUE(journal[0].nullArg1);
    EXPECT_TRUE(journal[0].flag);
    EXPECT_EQ(journal[0].text, "SQL stream");
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(journal[5].restartContext, 7u);
    EXPECT_EQ(journal[6].unit, "Backup");
    EXPECT_EQ(journal[6].pauseMs, 2000u);
    EXPECT_EQ(journal[6].line, 42);
    EXPECT_TRUE(journal[7].nullArg1 && journal[7].nullArg2);
    ASSERT_TRUE(journal[8].closePipelineArgs);
    EXPECT_EQ(journal[8].closePipelineArgs->closeMode, 2u);
    EXPECT_TRUE(journal[8].nullArg2);
}

TEST_F(FakePlatformTest, KeepsCopiesOfRecordsAsTheyWereAtTheCall) {
    char machine[] = "host-a";
    auto* archive = new ZebArchive(-2, nullptr, false, machine);
    std::strcpy(machine, "host-b");
    SetupPipelineArgs_t setup;
    setup.dataType = 5;
    setup.setupText = "first";
    archive->setupPipeline(&setup, nullptr, nullptr);
    setup.dataType = 6;
    setup.setupText = "changed";
    archive->setupPipeline(nullptr, "text", nullptr);
    delete archive;

    const Call made = fake.journal()[0];
    EXPECT_EQ(made.objectParam, -2);
    EXPECT_EQ(made.machineName, "host-a");
    EXPECT_FALSE(made.text);
    const auto setups = fake.calls(Op::SetupPipeline);
    ASSERT_EQ(setups.size(), 2u);
    ASSERT_TRUE(setups[0].setupArgs);
    EXPECT_EQ(setups[0].setupArgs->dataType, 5u);
    EXPECT_EQ(setups[0].setupArgs->setupText, "first");
    EXPECT_FALSE(setups[0].text);
    EXPECT_TRUE(setups[0].nullArg2);
    EXPECT_TRUE(setups[1].nullArg1);
    EXPECT_FALSE(setups[1].setupArgs);
    EXPECT_EQ(setups[1].text, "text");

    ArMgrClientAPI client;
    InvalidateArchFilesByJobArgs_t args;
    args.jobId = 77;
    args.afileIds = {11, 12};
    args.text56 = "why";
    InvalidateArchFilesByJobRet_t ret;
    fake.setResult(Op::InvalidateArchFilesByJob, -3);
    EXPECT_EQ(client.invalidateArchFilesByJob(&args, &ret), -3);
    args.afileIds.push_back(13);
    args.text56 = "later";
    const Call invalidate = fake.journal().back();
    EXPECT_EQ(invalidate.describe(), "invalidateArchFilesByJob");
    EXPECT_EQ(invalidate.result, -3);
    ASSERT_TRUE(invalidate.invalidateArgs);
    EXPECT_EQ(invalidate.invalidateArgs->jobId, 77u);
    EXPECT_EQ(invalidate.invalidateArgs->afileIds, (std::vector<int64_t>{11, 12}));
    EXPECT_EQ(invalidate.invalidateArgs->text56, "why");
}

TEST_F(FakePlatformTest, CountsAndFindsArchiveObjects) {
    auto* first = new ZebArchive(nullptr, false, nullptr);
    auto* second = new ZebArchive(nullptr, false, nullptr);
    EXPECT_EQ(fake.archive(2), second);
    EXPECT_EQ(fake.archiveNumber(first), 1);
    delete first;
    EXPECT_EQ(fake.archivesMade(), 2);
    EXPECT_EQ(fake.archivesDeleted(), 1);
    EXPECT_EQ(fake.liveArchives(), 1);
    EXPECT_EQ(fake.archive(1), nullptr);
    EXPECT_EQ(fake.archiveNumber(nullptr), 0);
    delete second;
    EXPECT_EQ(fake.liveArchives(), 0);
}

// --- Backup results

TEST_F(FakePlatformTest, CreateWritesDefaultOrScriptedIdentityAndNothingOnFailure) {
    CreateRet_t scripted{};
    scripted.trellanId = 9;
    fake.setCreateRet(1, scripted);
    auto* first = new ZebArchive(nullptr, false, nullptr);
    auto* second = new ZebArchive(nullptr, false, nullptr);
    CreateArgs_t args;
    args.createText = "file";
    CreateRet_t ret;
    EXPECT_EQ(first->createArchiveFile(&args, &ret), 0);
    EXPECT_EQ(bytesOf(ret), bytesOf(scripted));
    EXPECT_EQ(second->create(&args, &ret), 0);
    const std::vector<unsigned char> defaults = {
        0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xEA, 0x03, 0x00, 0x00, 0xD2, 0x07, 0x00,
        0x00, 0xBA, 0x0B, 0x00, 0x00, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9,
        0xBA, 0xBB};
    EXPECT_EQ(bytesOf(ret), defaults);

    fake.setResult(Op::CreateArchiveFile, 5, Match{2});
    std::memset(&ret, 0x5A, sizeof ret);
    EXPECT_EQ(second->createArchiveFile(&args, &ret), 5);
    EXPECT_EQ(bytesOf(ret), std::vector<unsigned char>(sizeof ret, 0x5A));
    delete first;
    delete second;

    const auto creates = fake.calls(Op::CreateArchiveFile);
    ASSERT_EQ(creates.size(), 3u);
    ASSERT_TRUE(creates[1].createRet);
    EXPECT_EQ(bytesOf(*creates[1].createRet), defaults);
    EXPECT_EQ(creates[1].createArgs->createText, "file");
    EXPECT_FALSE(creates[2].createRet);
    EXPECT_EQ(creates[2].result, 5);
}

TEST_F(FakePlatformTest, LaterMatchingRuleWinsAndEachRuleCountsItsOwnCalls) {
    auto* first = new ZebArchive(nullptr, false, nullptr);
    auto* second = new ZebArchive(nullptr, false, nullptr);
    fake.setResult(Op::CloseAfile, -1);
    fake.setResult(Op::CloseAfile, -2, Match{2});
    fake.setResult(Op::CloseAfile, -3, Match{0, 0, 3});  // the 3rd close of any object
    fake.setOffset(2, 4096);
    CloseAfileArgs_t args{};
    EXPECT_EQ(first->closeAfile(&args, nullptr), -1);
    EXPECT_EQ(second->closeAfile(&args, nullptr), -2);
    EXPECT_EQ(second->closeAfile(&args, nullptr), -3);
    EXPECT_EQ(first->closeAfile(&args, nullptr), -1);
    EXPECT_EQ(first->SetRestartContext(0), 0);
    unsigned long long offset = 0;
    EXPECT_EQ(second->GetCurrentArchiveFileOffset(&offset), 0);
    EXPECT_EQ(offset, 4096u);

    fake.clearJournal();
    // Counted from the rule's making, over the calls it selects: the 2nd
    // restart-context call on object 2, not the 2nd of all.
    fake.setResult(Op::SetRestartContext, 9, Match{.archive = 2, .nth = 2});
    EXPECT_EQ(second->SetRestartContext(0), 0);
    EXPECT_EQ(first->SetRestartContext(0), 0);
    EXPECT_EQ(second->SetRestartContext(0), 9);
    EXPECT_EQ(second->SetRestartContext(0), 0);
    EXPECT_EQ(fake.trace(), (std::vector<std::string>{"SetRestartContext#2", "SetRestartContext#1",
                                                      "SetRestartContext#2",
                                                      "SetRestartContext#2"}));
    delete first;
    delete second;
}

// --- Restore

TEST_F(FakePlatformTest, OpenHandsOutNumberedSessionsAndRemembersTheIdentity) {
    fake.setCopyNumber(1, 4);
    auto* first = new ZebArchive(1, nullptr, false, "m");
    auto* second = new ZebArchive(2, nullptr, false, "m");
    ArchiveFileId_t id{9, 9, 9};
    EXPECT_EQ(first->GetArchiveFileId(&id), 0);
    EXPECT_EQ(bytesOf(id), bytesOf(ArchiveFileId_t{0, 0, 0}));

    OpenArgs_t args;
    args.trellanId = 0x11223344;
    args.groupNumber = 0x500000006;
    args.afileId = 0x700000008;
    OpenRet_t ret{};
    EXPECT_EQ(first->open(&args, &ret), 0);
    EXPECT_EQ(ret.copy, 4u);
    EXPECT_EQ(fake.session(1), ret.sessionHead);
    args.afileId = 99;
    first->GetArchiveFileId(&id);
    EXPECT_EQ(bytesOf(id), bytesOf(ArchiveFileId_t{0x11223344, 6, 8}));

    OpenRet_t other{};
    EXPECT_EQ(second->openArchiveFile(&args, &other), 0);
    EXPECT_EQ(other.copy, 1u);
    EXPECT_EQ(fake.sessionNumber(other.sessionHead), 2);
    fake.setArchiveFileId(2, {1, 2, 3});
    fake.setResult(Op::GetArchiveFileId, -1, Match{2});
    EXPECT_EQ(second->GetArchiveFileId(&id), -1);
    EXPECT_EQ(bytesOf(id), bytesOf(ArchiveFileId_t{1, 2, 3}));

    fake.setResult(Op::OpenArchiveFile, -4, Match{1});
    std::memset(&ret, 0x5A, sizeof ret);
    EXPECT_EQ(first->openArchiveFile(&args, &ret), -4);
    EXPECT_EQ(bytesOf(ret), std::vector<unsigned char>(sizeof ret, 0x5A));
    EXPECT_EQ(fake.session(3), nullptr);
    EXPECT_EQ(first->CloseArchiveFileAndReleaseVolume(), 0);
    delete first;
    delete second;

    const auto opens = fake.calls(Op::OpenArchiveFile);
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_EQ(opens[1].session, 2);
    EXPECT_EQ(opens[1].openArgs->afileId, 99u);
    EXPECT_EQ(fake.calls(Op::GetArchiveFileId)[2].archiveFileId->afileId, 3u);
}

TEST_F(FakePlatformTest, ReadBufferDeliversQueuedTypesThenReturnsZero) {
    auto* archive = new ZebArchive(1, nullptr, false, "m");
    fake.allowEmptyReads(true);
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE, PL_FS_DESTROY});
    fake.queueMessages(1, {PL_FS_READ_ALL_ABORTED});
    fake.setResult(Op::ReadBuffer, 0, Match{0, 0, 2});
    fake.setResult(Op::ReadBuffer, 7, Match{0, 0, 3});
    ReadBufArgs_t args;
    ReadBufRet_t ret{};
    ret.data = reinterpret_cast<char*>(&ret);
    ret.dataLength = 9;
    EXPECT_EQ(archive->readBuffer(&args, &ret), 1);
    EXPECT_EQ(ret.messageType, PL_FS_CLOSE_AFILE);
    EXPECT_EQ(ret.data, nullptr);
    EXPECT_EQ(ret.dataLength, 0u);
    EXPECT_EQ(archive->readBuffer(&args, &ret), 0);
    EXPECT_EQ(archive->readBuffer(&args, &ret), 7);
    EXPECT_EQ(ret.messageType, PL_FS_DESTROY);
    EXPECT_EQ(archive->readBuffer(&args, &ret), 1);
    EXPECT_EQ(ret.messageType, PL_FS_READ_ALL_ABORTED);
    ret.messageType = -1;
    EXPECT_EQ(archive->readBuffer(&args, &ret), 0);
    EXPECT_EQ(ret.messageType, -1);
    delete archive;

    std::vector<std::optional<int>> delivered;
    for (const Call& call : fake.calls(Op::ReadBuffer)) delivered.push_back(call.messageType);
    EXPECT_EQ(delivered, (std::vector<std::optional<int>>{PL_FS_CLOSE_AFILE, std::nullopt,
                                                           PL_FS_DESTROY, PL_FS_READ_ALL_ABORTED,
                                                           std::nullopt}));
}

class FakePlatformSendTest : public FakePlatformTest {
protected:
    void SetUp() override {
        archive = new ZebArchive(1, nullptr, false, "m");
        OpenArgs_t args;
        OpenRet_t ret{};
        archive->openArchiveFile(&args, &ret);
        first = ret.sessionHead;
        archive->openArchiveFile(&args, &ret);
        second = ret.sessionHead;
    }
    void TearDown() override { delete archive; }

    ZebArchive* archive = nullptr;
    CZebNetwork* first = nullptr;
    CZebNetwork* second = nullptr;
};

TEST_F(FakePlatformSendTest, RecordsAndDecodesBodiesWithoutTouchingTheFlag) {
    FSROpenArchive open;
    open.copy = 3;
    open.archiveFile.afileId = 55;
    zebsDatabuf_v2 buffer;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&open), sizeof open);
    bool flag = true;
    EXPECT_FALSE(first->SendXDRMessage(FSR_MSG_OPEN_ARCHIVE, &buffer, 1, 2, flag).IsError());
    EXPECT_TRUE(flag);

    std::vector<FSRSeekArchive> elements(2);
    elements[0].offset = 4096;
    elements[1].offset = 8192;
    FSRSeekArchiveArray seek;
    seek.count = 2;
    seek.elements = elements.data();
    buffer.setExternalBuffer(reinterpret_cast<char*>(&seek), sizeof seek);
    flag = false;
    second->SendXDRMessage(FSR_MSG_SEEK_TO_OFFSET, &buffer, 0, 0, flag);
    elements[0].offset = 1;
    zebsDatabuf_v2 empty;
    second->SendXDRMessage(FSR_MSG_CLOSE_ARCHIVE, &empty, 0, 0, flag);
    second->SendXDRMessage(FSR_MSG_READ_ALL, nullptr, 0, 0, flag);

    const auto sends = fake.calls(Op::SendXDRMessage);
    ASSERT_EQ(sends.size(), 4u);
    EXPECT_EQ(sends[0].describe(), "send 0x18000002 session#1");
    const SentMessage& opened = *sends[0].message;
    EXPECT_EQ(opened.body, bytesOf(open));
    EXPECT_EQ(opened.bodyLength, 88u);
    EXPECT_TRUE(opened.flagOnEntry);
    EXPECT_EQ(opened.arg1, 1);
    EXPECT_EQ(opened.arg2, 2);
    ASSERT_TRUE(opened.open);
    EXPECT_EQ(opened.open->copy, 3u);
    EXPECT_EQ(opened.open->archiveFile.afileId, 55u);

    EXPECT_EQ(sends[1].describe(), "send 0x18000095 session#2");
    const SentMessage& sought = *sends[1].message;
    EXPECT_FALSE(sought.open);
    ASSERT_TRUE(sought.seek);
    EXPECT_EQ(sought.seek->count, 2);
    ASSERT_EQ(sought.seekElements.size(), 2u);
    EXPECT_EQ(sought.seekElements[0].offset, 4096u);
    EXPECT_EQ(sought.seekElements[1].offset, 8192u);
    EXPECT_FALSE(sought.flagOnEntry);

    EXPECT_TRUE(sends[2].message->hasBuffer);
    EXPECT_EQ(sends[2].message->bodyLength, 0u);
    EXPECT_FALSE(sends[3].message->hasBuffer);
}

TEST_F(FakePlatformSendTest, ScriptedResultsMatchCodeSessionAndNth) {
    fake.setSendResult(CQiError(-5, "media gone"), Match{0, 0, 0, FSR_MSG_READ_ALL});
    fake.setSendResult(CQiError(-6, "second head"), Match{0, 2});
    fake.setSendResult(CQiError(-7, "fourth"), Match{0, 0, 4});
    bool flag = false;
    EXPECT_EQ(first->SendXDRMessage(FSR_MSG_RESTORE_END, nullptr, 0, 0, flag).code(), 0);
    const CQiError readAll = first->SendXDRMessage(FSR_MSG_READ_ALL, nullptr, 0, 0, flag);
    EXPECT_EQ(readAll.code(), -5);
    EXPECT_EQ(readAll.AsString(), "media gone");
    EXPECT_EQ(second->SendXDRMessage(FSR_MSG_READ_ALL, nullptr, 0, 0, flag).code(), -6);
    EXPECT_EQ(first->SendXDRMessage(FSR_MSG_RESTORE_END, nullptr, 0, 0, flag).code(), -7);
    EXPECT_EQ(fake.calls(Op::SendXDRMessage)[2].result, -6);
}

// --- Settings, logging, job

TEST_F(FakePlatformTest, SettingsAreFoundOnlyWhenPresentAndValueIsLeftAloneOtherwise) {
    ZebPlatformInfo info;
    fake.setSetting("MSSQLAgent", "DelayPipelineSetup", 30);
    unsigned long value = 5;
    EXPECT_EQ(info.getNumber("MSSQLAgent", "DelayPipelineSetup", &value), 1);
    EXPECT_EQ(value, 30u);
    fake.removeSetting("MSSQLAgent", "DelayPipelineSetup");
    value = 5;
    EXPECT_EQ(info.getNumber("MSSQLAgent", "DelayPipelineSetup", &value), 0);
    EXPECT_EQ(value, 5u);
    fake.setSetting("MSSQLAgent", "Other", 1);
    fake.setResult(Op::GetNumber, 0, Match{0, 0, 1});
    EXPECT_EQ(info.getNumber("MSSQLAgent", "Other", &value), 0);
    EXPECT_EQ(value, 5u);
    EXPECT_STREQ(info.getPhysicalMachine(), "fake-machine");
    fake.setPhysicalMachine("host-b");
    EXPECT_STREQ(info.getPhysicalMachine(), "host-b");

    EXPECT_EQ(fake.trace(), (std::vector<std::string>{
                                "getNumber MSSQLAgent/DelayPipelineSetup",
                                "getNumber MSSQLAgent/DelayPipelineSetup",
                                "getNumber MSSQLAgent/Other", "getPhysicalMachine",
                                "getPhysicalMachine"}));
    const auto journal = fake.journal();
    EXPECT_EQ(journal[0].settingValue, 30u);
    EXPECT_EQ(journal[0].result, 1);
    EXPECT_FALSE(journal[1].settingValue);
    EXPECT_EQ(journal[1].key, "DelayPipelineSetup");
    EXPECT_EQ(journal[4].machineName, "host-b");
}

TEST_F(FakePlatformTest, LogLinesAreFormattedWithTheJobOfTheirContext) {
    fake.setJobId(41);
    EvEvent early;
    fake.setJobId(42);
    EvEvent event;
    event.debug("open %s", "db");
    event.error("code %d", -5);
    event.Debug("Run", "%u streams", 3u);
    const std::string longText(5000, 'x');
    event.DebugLvl("Wait", 2, "[%s]", longText.c_str());
    early.debug("early");
    EXPECT_EQ(event.getJobId(), 42u);

    const auto& logs = fake.logs();
    ASSERT_EQ(logs.size(), 5u);
    EXPECT_EQ(logs[0].method, "debug");
    EXPECT_EQ(logs[0].text, "open db");
    EXPECT_EQ(logs[0].level, -1);
    EXPECT_EQ(logs[1].method, "error");
    EXPECT_EQ(logs[1].text, "code -5");
    EXPECT_EQ(logs[2].method, "Debug");
    EXPECT_EQ(logs[2].function, "Run");
    EXPECT_EQ(logs[2].text, "3 streams");
    EXPECT_EQ(logs[3].method, "DebugLvl");
    EXPECT_EQ(logs[3].level, 2);
    EXPECT_EQ(logs[3].text, "[" + longText + "]");
    EXPECT_EQ(logs[3].jobId, 42u);
    EXPECT_EQ(logs[4].jobId, 41u);
    EXPECT_EQ(fake.trace(), std::vector<std::string>{"getJobId"});
    EXPECT_EQ(fake.journal()[0].jobId, 42u);
}

// --- Fault injection

TEST_F(FakePlatformTest, RulesSelectByObjectCodeRangeAndPosition) {
    auto* first = new ZebArchive(1, nullptr, false, "m");
    auto* second = new ZebArchive(2, nullptr, false, "m");
    // Calls 2 and 3 of those on object 2, then every one from the 5th on.
    fake.inject(Op::CloseArchiveFileAndReleaseVolume, {.archive = 2, .nth = 2, .times = 2},
                Action::returns(-2));
    fake.inject(Op::CloseArchiveFileAndReleaseVolume,
                {.archive = 2, .nth = 5, .times = Match::kOnward}, Action::returns(-5));
    std::vector<int> results;
    for (int i = 0; i < 6; ++i) {
        results.push_back(first->CloseArchiveFileAndReleaseVolume());
        results.push_back(second->CloseArchiveFileAndReleaseVolume());
    }
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0, -2, 0, -2, 0, 0, 0, -5, 0, -5}));

    // The k-th call of any kind, whatever its operation.
    const long long next = fake.callCount() + 2;
    fake.inject(std::nullopt, {.seq = next}, Action::returns(-9));
    EXPECT_EQ(first->CloseArchiveFileAndReleaseVolume(), 0);
    EXPECT_EQ(second->SetRestartContext(1), -9);
    EXPECT_EQ(fake.allCalls().back().seq, next);
    delete first;
    delete second;
}

TEST_F(FakePlatformTest, AnyCallCanThrowAndIsRecordedOnce) {
    fake.inject(Op::ArchiveMade, {.nth = 2}, Action::throws(std::bad_alloc()));
    auto* first = new ZebArchive(nullptr, true, nullptr);
    EXPECT_THROW(new ZebArchive(nullptr, true, nullptr), std::bad_alloc);
    // The object that never came to be takes no number.
    auto* second = new ZebArchive(nullptr, true, nullptr);
    EXPECT_EQ(fake.archiveNumber(second), 2);
    EXPECT_EQ(fake.archivesMade(), 2);

    fake.inject(std::nullopt, {.nth = 1}, Action::throws(std::runtime_error("platform")));
    // Destructors never throw, so the rule passes over them.
    delete first;
    EXPECT_THROW(QISLEEP_InTeRnAl(5, "Unit", 1), std::runtime_error);
    QISLEEP_InTeRnAl(6, "Unit", 2);
    fake.inject(Op::GetJobId, {}, Action::throws(std::logic_error("job")));
    fake.inject(Op::GetPhysicalMachine, {}, Action::throws(std::logic_error("machine")));
    fake.inject(Op::BufferMade, {}, Action::throws(std::logic_error("buffer")));
    {
        EvEvent event;
        EXPECT_THROW(event.getJobId(), std::logic_error);
        ZebPlatformInfo info;
        EXPECT_THROW(info.getPhysicalMachine(), std::logic_error);
        EXPECT_THROW(zebsDatabuf_v2(), std::logic_error);
    }
    delete second;

    std::vector<std::string> thrown;
    for (const Call& call : fake.allCalls()) {
        if (call.threw) thrown.push_back(call.describe());
    }
    EXPECT_EQ(thrown, (std::vector<std::string>{"new ZebArchive#2", "sleep 5", "getJobId",
                                                 "getPhysicalMachine", "zebsDatabuf_v2"}));
    const auto pauses = fake.calls(Op::Sleep);
    ASSERT_EQ(pauses.size(), 2u);  // each recorded once, thrown or not
    EXPECT_EQ(pauses[1].pauseMs, 6u);
    EXPECT_EQ(fake.calls(Op::ArchiveDeleted).size(), 2u);
}

TEST_F(FakePlatformTest, CallbacksDecideEachCallAndMayScriptTheFake) {
    auto* archive = new ZebArchive(1, nullptr, false, "m");
    std::vector<Op> seen;
    fake.inject(Op::ReadBuffer, {}, Action::run([&](const Call& call) {
                    seen.push_back(call.op);
                    if (seen.size() == 1) fake.queueMessages(call.archive, {PL_FS_DESTROY});
                    return seen.size() == 2 ? Action::returns(0) : Action();
                }));
    ReadBufArgs_t args;
    ReadBufRet_t ret{};
    EXPECT_EQ(archive->readBuffer(&args, &ret), 1);
    EXPECT_EQ(ret.messageType, PL_FS_DESTROY);
    EXPECT_EQ(archive->readBuffer(&args, &ret), 0);
    EXPECT_EQ(seen.size(), 2u);

    fake.inject(Op::OpenArchiveFile, {.nth = 1}, Action::nullSessionHead());
    OpenArgs_t open;
    OpenRet_t opened{};
    opened.sessionHead = reinterpret_cast<CZebNetwork*>(&opened);
    EXPECT_EQ(archive->openArchiveFile(&open, &opened), 0);
    EXPECT_EQ(opened.sessionHead, nullptr);
    EXPECT_EQ(fake.facts(1).lastSession, 0);
    EXPECT_EQ(archive->openArchiveFile(&open, &opened), 0);
    EXPECT_EQ(fake.sessionNumber(opened.sessionHead), 1);
    EXPECT_EQ(fake.facts(1).lastSession, 1);
    EXPECT_EQ(fake.facts(1).objectParam, 1);
    EXPECT_TRUE(fake.facts(1).restoreSide);
    delete archive;
    EXPECT_FALSE(fake.facts(1).alive);
    EXPECT_TRUE(fake.facts(1).made);
}

TEST_F(FakePlatformTest, ReadWithNothingScriptedIsAProblemUnlessAllowed) {
    std::vector<std::string> problems;
    fake.setProblemHandler([&](const std::string& problem) { problems.push_back(problem); });
    auto* archive = new ZebArchive(1, nullptr, false, "m");
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE, kReadFails});
    ReadBufArgs_t args;
    ReadBufRet_t ret{};
    EXPECT_EQ(archive->readBuffer(&args, &ret), 1);
    EXPECT_EQ(archive->readBuffer(&args, &ret), 0);  // scripted: no problem
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(archive->readBuffer(&args, &ret), 0);
    EXPECT_EQ(problems, std::vector<std::string>{
                            "fake platform: readBuffer on ZebArchive#1 with nothing queued"});
    fake.allowEmptyReads(true);
    EXPECT_EQ(archive->readBuffer(&args, &ret), 0);
    EXPECT_EQ(problems.size(), 1u);
    delete archive;
}

TEST_F(FakePlatformTest, LoggingContextAndHelpersAreRecordedButKeptOutOfTheJournal) {
    {
        EvEvent event;
        event.error("x %d", 1);
        zebsDatabuf_v2 buffer;
        char body[4] = {};
        buffer.setExternalBuffer(body, sizeof body);
        ArMgrClientAPI client;
    }
    std::vector<std::string> all;
    for (const Call& call : fake.allCalls()) all.push_back(call.describe());
    EXPECT_EQ(all, (std::vector<std::string>{"EvEvent", "log error", "zebsDatabuf_v2",
                                              "setExternalBuffer", "ArMgrClientAPI",
                                              "~ArMgrClientAPI", "~zebsDatabuf_v2", "~EvEvent"}));
    EXPECT_EQ(fake.allCalls()[1].log->text, "x 1");
    EXPECT_EQ(fake.allCalls()[7].seq, 8);
    EXPECT_TRUE(fake.journal().empty());
}

TEST_F(FakePlatformTest, RestartNumbersObjectsAndSessionsAfresh) {
    auto* archive = new ZebArchive(1, nullptr, false, "m");
    OpenArgs_t args;
    OpenRet_t ret{};
    archive->openArchiveFile(&args, &ret);
    fake.setResult(Op::OpenArchiveFile, -1);
    delete archive;
    fake.restart();
    EXPECT_EQ(fake.callCount(), 0);
    EXPECT_TRUE(fake.allCalls().empty());
    archive = new ZebArchive(1, nullptr, false, "m");
    EXPECT_EQ(fake.archiveNumber(archive), 1);
    EXPECT_EQ(archive->openArchiveFile(&args, &ret), 0);  // rules are gone too
    EXPECT_EQ(fake.sessionNumber(ret.sessionHead), 1);
    delete archive;
}

TEST_F(FakePlatformTest, OnlyPlatformCallsCountAsInsideThePlatform) {
    bool inside = false;
    fake.inject(Op::Sleep, {}, Action::run([&](const Call&) {
                    inside = insidePlatformCall();
                    return Action();
                }));
    EXPECT_FALSE(insidePlatformCall());
    QISLEEP_InTeRnAl(1, "Unit", 1);
    EXPECT_TRUE(inside);
    EXPECT_FALSE(insidePlatformCall());
}

// --- Counting without a journal

// A restore stream's calls, the same in either recording mode.
void openSeekAndClose() {
    EvEvent event;
    event.debug("seek %d", 4096);
    auto* archive = new ZebArchive(3, nullptr, true, "machine");
    OpenArgs_t args;
    OpenRet_t ret{};
    archive->openArchiveFile(&args, &ret);
    FSRSeekArchive element;
    FSRSeekArchiveArray body;
    body.elements = &element;
    body.count = 1;
    zebsDatabuf_v2 buffer;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&body), sizeof body);
    bool flag = false;
    ret.sessionHead->SendXDRMessage(FSR_MSG_SEEK_TO_OFFSET, &buffer, 0, -1, flag);
    ret.sessionHead->SendXDRMessage(FSR_MSG_READ_ALL, nullptr, 0, -1, flag);
    ReadBufArgs_t readArgs;
    ReadBufRet_t readRet;
    archive->readBuffer(&readArgs, &readRet);
    QISLEEP_InTeRnAl(1000, "Unit", 1);
    delete archive;
}

TEST(FakePlatformCountingTest, CountsWhatTheJournalHoldsAndKeepsNothing) {
    std::vector<long long> journaled;
    long long journaledCalls = 0;
    {
        FakePlatform fake;
        fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
        openSeekAndClose();
        for (int op = 0; op <= static_cast<int>(Op::SetExternalBuffer); ++op) {
            long long seen = 0;
            for (const Call& call : fake.allCalls()) seen += call.op == static_cast<Op>(op);
            EXPECT_EQ(fake.count(static_cast<Op>(op)), seen) << opName(static_cast<Op>(op));
            journaled.push_back(seen);
        }
        journaledCalls = fake.callCount();
    }
    FakePlatform fake(Recording::CountsOnly);
    EXPECT_EQ(fake.recording(), Recording::CountsOnly);
    fake.queueMessages(1, {PL_FS_CLOSE_AFILE});
    openSeekAndClose();
    std::vector<long long> counted;
    for (int op = 0; op <= static_cast<int>(Op::SetExternalBuffer); ++op) {
        counted.push_back(fake.count(static_cast<Op>(op)));
    }
    EXPECT_EQ(counted, journaled);
    EXPECT_EQ(fake.count(Op::Log), 1);
    EXPECT_EQ(fake.count(Op::SendXDRMessage), 2);
    EXPECT_EQ(fake.callCount(), journaledCalls);
    EXPECT_TRUE(fake.allCalls().empty());
    EXPECT_TRUE(fake.logs().empty());
    // The objects are still numbered and followed as in the journal mode.
    EXPECT_EQ(fake.archivesMade(), 1);
    EXPECT_EQ(fake.liveArchives(), 0);
    EXPECT_EQ(fake.facts(1).lastSession, 1);

    fake.restart();
    EXPECT_EQ(fake.recording(), Recording::CountsOnly);
    EXPECT_EQ(fake.count(Op::ArchiveMade), 0);
}

TEST(FakePlatformCountingTest, RulesStillDecideAndMatchSendsByCode) {
    FakePlatform fake(Recording::CountsOnly);
    fake.setSendResult(CQiError(-5, "down"), {.code = FSR_MSG_READ_ALL});
    fake.setResult(Op::GetNumber, 1);
    auto* archive = new ZebArchive(3, nullptr, true, "machine");
    OpenArgs_t args;
    OpenRet_t ret{};
    archive->openArchiveFile(&args, &ret);
    bool flag = false;
    EXPECT_FALSE(
        ret.sessionHead->SendXDRMessage(FSR_MSG_SEEK_TO_OFFSET, nullptr, 0, -1, flag).IsError());
    EXPECT_EQ(ret.sessionHead->SendXDRMessage(FSR_MSG_READ_ALL, nullptr, 0, -1, flag).code(), -5);
    ZebPlatformInfo settings;
    unsigned long value = 7;
    EXPECT_NE(settings.getNumber("MSSQLAgent", "DelayPipelineSetup", &value), 0);
    EXPECT_EQ(value, 7u);  // found by the rule, but no such setting to write
    fake.inject(Op::Log, {}, Action::throws(std::runtime_error("log")));
    EvEvent event;
    EXPECT_THROW(event.error("x"), std::runtime_error);
    EXPECT_EQ(fake.count(Op::Log), 1);
    delete archive;
}

// --- Misuse

TEST(FakePlatformDeathTest, PlatformCallsWithoutALiveFakeAbort) {
    EXPECT_DEATH(QISLEEP_InTeRnAl(10, "Unit", 1),
                 "fake platform: QISLEEP_InTeRnAl called with no FakePlatform alive");
    EXPECT_DEATH({ EvEvent event; }, "EvEvent called with no FakePlatform alive");
    FakePlatform fake;
    EXPECT_DEATH({ FakePlatform second; }, "a second FakePlatform was made");
}

TEST(FakePlatformDeathTest, DeletingAnArchiveObjectTwiceAborts) {
    FakePlatform fake;
    // The destructor runs twice on storage that stays valid, as a second
    // delete would run it. The sanitizers clear a destroyed object's vptr, so
    // the bytes it had while alive are put back: the second call then reaches
    // the fake's own check, as it does in a plain build.
    alignas(ZebArchive) unsigned char storage[sizeof(ZebArchive)];
    auto* archive = new (storage) ZebArchive(nullptr, false, nullptr);
    unsigned char alive[sizeof storage];
    std::memcpy(alive, storage, sizeof storage);
    archive->~ZebArchive();
    std::memcpy(storage, alive, sizeof storage);
    EXPECT_DEATH(archive->~ZebArchive(),
                 "fake platform: ZebArchive 0x[0-9a-f]+ deleted twice or never made");
    EXPECT_DEATH(archive->SetRestartContext(1),
                 "SetRestartContext on ZebArchive 0x[0-9a-f]+, which is not alive");
}

TEST(FakePlatformDeathTest, DeletingAnObjectOfAnEarlierFakeAborts) {
    EXPECT_DEATH(
        {
            ZebArchive* orphan = nullptr;
            {
                FakePlatform first;
                orphan = new ZebArchive(nullptr, false, nullptr);
            }
            FakePlatform second;
            delete orphan;
        },
        "deleted twice or never made");
}

}  // namespace
