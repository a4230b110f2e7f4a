// The fault storage by itself, over the POSIX one in a scratch directory:
// its numbering and record, each kind of fault, the power loss, and the
// durable creation built on top of them.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/local/storage/FaultInjectingStorage.h"
#include "platform/local/storage/PosixStorage.h"
#include "tests/local/RefusingStorage.h"

using localplatform::FaultInjectingStorage;
using localplatform::FaultKind;
using localplatform::FaultRule;
using localplatform::FileModes;
using localplatform::StorageCall;
using localplatform::StorageFile;
using localplatform::StorageOp;

// The platform's log, as the storage's own lines reach it: here, a list.
namespace localplatform {
std::vector<std::string> loggedErrors;
void platformError(const std::string& text) { loggedErrors.push_back(text); }
void platformDebug(const std::string&) {}
void writeLogLine(bool, int, unsigned long long, const std::string&) {}
}  // namespace localplatform

namespace {

class LocalFaultStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(LOCAL_TEST_TMP);
        std::string dir = std::string(LOCAL_TEST_TMP) + "/faultsXXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        m_dir = dir;
        localplatform::loggedErrors.clear();
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // A fault storage over the POSIX one with the plan's rules; its stalls
    // and crashes are recorded here, never slept or killed.
    std::shared_ptr<FaultInjectingStorage> faulty(const std::string& plan) {
        std::vector<FaultRule> rules;
        std::string why;
        if (!plan.empty()) {
            EXPECT_TRUE(localplatform::parseFaultPlan(plan, &rules, &why)) << why;
        }
        return std::make_shared<FaultInjectingStorage>(
            std::make_shared<localplatform::PosixStorage>(), rules,
            [this](std::chrono::milliseconds time) { stalls.push_back(time); },
            [this] { ++crashes; });
    }

    std::string path(const std::string& name) const { return m_dir + "/" + name; }

    static std::string contentsOf(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static bool append(StorageFile& file, const std::string& text, std::size_t* written = nullptr) {
        return file.append(text.data(), text.size(), written);
    }

    static std::string ops(const std::vector<StorageCall>& calls) {
        std::string names;
        for (const StorageCall& call : calls) {
            names += (names.empty() ? "" : " ") + std::string(storageOpName(call.op));
        }
        return names;
    }

    std::vector<std::chrono::milliseconds> stalls;
    int crashes = 0;
    const FileModes modes{};

private:
    std::string m_dir;
};

TEST_F(LocalFaultStorageTest, NumbersAndRecordsEveryOperationInOrderWithItsPath) {
    auto storage = faulty("");
    auto file = storage->createExclusive(path("a"), modes);
    ASSERT_TRUE(file);
    ASSERT_TRUE(append(*file, "abc"));
    ASSERT_TRUE(file->sync());
    unsigned long long size = 0;
    ASSERT_TRUE(file->size(&size));
    EXPECT_EQ(size, 3u);
    ASSERT_TRUE(storage->syncDirectory(path("")));
    ASSERT_TRUE(storage->link(path("a"), path("b")));
    ASSERT_TRUE(storage->rename(path("b"), path("c")));
    std::vector<std::string> names;
    ASSERT_TRUE(storage->list(path(""), &names));
    EXPECT_EQ(names.size(), 2u);
    ASSERT_TRUE(storage->remove(path("c")));
    auto reading = storage->openForReading(path("a"), nullptr);
    ASSERT_TRUE(reading);
    char buffer[8] = {};
    EXPECT_EQ(reading->readAt(buffer, sizeof buffer, 1), 2);
    EXPECT_EQ(std::string(buffer), "bc");

    const auto calls = storage->calls();
    EXPECT_EQ(ops(calls), "create append sync size syncdir link rename list remove open read");
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].index, i + 1);
        EXPECT_EQ(calls[i].injected, 0);
    }
    EXPECT_EQ(calls[0].path, path("a"));
    EXPECT_EQ(calls[5].path, path("a"));  // link: its source
    EXPECT_EQ(calls[6].path, path("b"));  // rename: its source
    EXPECT_EQ(calls[8].path, path("c"));
}

TEST_F(LocalFaultStorageTest, TheNthOperationOfAKindFailsWithItsErrnoAndOnlyThatOne) {
    auto storage = faulty("op=append,nth=2,errno=ENOSPC");
    auto file = storage->createExclusive(path("a"), modes);
    ASSERT_TRUE(file);
    ASSERT_TRUE(append(*file, "one"));
    std::size_t written = 99;
    errno = 0;
    EXPECT_FALSE(append(*file, "two", &written));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(written, 0u);
    ASSERT_TRUE(append(*file, "three"));
    EXPECT_EQ(contentsOf(path("a")), "onethree");

    const auto calls = storage->calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1].injected, 0);
    EXPECT_EQ(calls[2].injected, ENOSPC);  // the second append, third operation
    EXPECT_EQ(calls[3].injected, 0);
}

TEST_F(LocalFaultStorageTest, APathPartNarrowsWhatARuleCountsAndEachRuleCountsAlone) {
    auto storage = faulty("op=create,in=.meta,nth=2,errno=EDQUOT;op=create,nth=3,errno=EIO");
    EXPECT_TRUE(storage->createExclusive(path("1.arch"), modes));
    EXPECT_TRUE(storage->createExclusive(path("1.meta"), modes));
    errno = 0;
    EXPECT_FALSE(storage->createExclusive(path("2.arch"), modes));  // the third creation
    EXPECT_EQ(errno, EIO);
    errno = 0;
    EXPECT_FALSE(storage->createExclusive(path("2.meta"), modes));  // the second of a .meta
    EXPECT_EQ(errno, EDQUOT);
    EXPECT_TRUE(storage->createExclusive(path("3.meta"), modes));
    EXPECT_FALSE(std::filesystem::exists(path("2.arch")));
    EXPECT_FALSE(std::filesystem::exists(path("2.meta")));
}

TEST_F(LocalFaultStorageTest, FromTheNthOperationOfAnyKindEveryOneFailsWithoutReachingTheDisk) {
    auto storage = faulty("from=3,errno=EROFS");
    ASSERT_TRUE(storage->makeDirectory(path("d"), modes));
    ASSERT_TRUE(storage->syncDirectory(path("")));
    errno = 0;
    EXPECT_FALSE(storage->createExclusive(path("d/a"), modes));
    EXPECT_EQ(errno, EROFS);
    EXPECT_FALSE(std::filesystem::exists(path("d/a")));
    errno = 0;
    EXPECT_FALSE(storage->exists(path("d")));
    EXPECT_EQ(errno, EROFS);
    std::string resolved;
    EXPECT_FALSE(storage->canonical(path("d"), &resolved));
    EXPECT_FALSE(storage->lock(path("d/lock"), true, modes));
    EXPECT_FALSE(std::filesystem::exists(path("d/lock")));
    EXPECT_EQ(ops(storage->calls()), "mkdir syncdir create status canonical lock");
}

TEST_F(LocalFaultStorageTest, AShortWriteLeavesHalfTheBytesAndSaysHowMany) {
    auto storage = faulty("op=append,nth=1,short,errno=EDQUOT");
    auto file = storage->createExclusive(path("a"), modes);
    ASSERT_TRUE(file);
    std::size_t written = 0;
    errno = 0;
    EXPECT_FALSE(append(*file, "0123456789", &written));
    EXPECT_EQ(errno, EDQUOT);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(contentsOf(path("a")), "01234");
    EXPECT_EQ(storage->calls()[1].injected, EDQUOT);
}

TEST_F(LocalFaultStorageTest, AShortRuleOnAnOperationThatIsNoWriteFailsIt) {
    auto storage = faulty("op=sync,nth=1,short");
    auto file = storage->createExclusive(path("a"), modes);
    ASSERT_TRUE(file);
    errno = 0;
    EXPECT_FALSE(file->sync());
    EXPECT_EQ(errno, EIO);
}

TEST_F(LocalFaultStorageTest, AStallWaitsItsBoundedTimeThenTheOperationRuns) {
    auto storage = faulty("op=sync,nth=2,stall=250ms;op=create,nth=1,stall=2s");
    auto file = storage->createExclusive(path("a"), modes);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->sync());
    ASSERT_TRUE(append(*file, "x"));
    ASSERT_TRUE(file->sync());
    ASSERT_EQ(stalls.size(), 2u);
    EXPECT_EQ(stalls[0], std::chrono::milliseconds(2000));
    EXPECT_EQ(stalls[1], std::chrono::milliseconds(250));
    const auto calls = storage->calls();
    EXPECT_TRUE(calls[0].stalled);
    EXPECT_FALSE(calls[1].stalled);
    EXPECT_TRUE(calls[3].stalled);
    EXPECT_EQ(contentsOf(path("a")), "x");
}

TEST_F(LocalFaultStorageTest,
       APowerLossCutsFilesToTheirLastSyncAndDropsNamesOfUnsyncedDirectories) {
    auto storage = faulty("");
    ASSERT_TRUE(storage->makeDirectory(path("files"), modes));
    auto synced = storage->createExclusive(path("files/1"), modes);
    auto never = storage->createExclusive(path("files/2"), modes);
    ASSERT_TRUE(synced && never);
    ASSERT_TRUE(append(*synced, "kept"));
    ASSERT_TRUE(synced->sync());
    ASSERT_TRUE(append(*synced, "lost"));
    ASSERT_TRUE(append(*never, "lost too"));
    ASSERT_TRUE(storage->syncDirectory(path("files")));
    // Made after the directory's last sync: gone with the power.
    auto late = storage->createExclusive(path("files/3"), modes);
    ASSERT_TRUE(late);
    ASSERT_TRUE(late->sync());
    ASSERT_TRUE(storage->link(path("files/1"), path("files/1.link")));

    storage->dropUnsynced();
    EXPECT_EQ(contentsOf(path("files/1")), "kept");
    EXPECT_TRUE(std::filesystem::exists(path("files/2")));
    EXPECT_EQ(std::filesystem::file_size(path("files/2")), 0u);
    EXPECT_FALSE(std::filesystem::exists(path("files/3")));
    EXPECT_FALSE(std::filesystem::exists(path("files/1.link")));
    // Not itself an operation.
    EXPECT_EQ(storage->calls().size(), 11u);
}

TEST_F(LocalFaultStorageTest, ACrashLosesWhatWasNeverSyncedBeforeTheProcessEnds) {
    auto storage = faulty("op=sync,nth=2,crash");
    ASSERT_TRUE(storage->syncDirectory(path("")));
    auto file = storage->createExclusive(path("a"), modes);
    ASSERT_TRUE(file);
    ASSERT_TRUE(append(*file, "synced"));
    ASSERT_TRUE(file->sync());
    ASSERT_TRUE(storage->syncDirectory(path("")));
    ASSERT_TRUE(append(*file, " and not"));
    EXPECT_EQ(crashes, 0);
    errno = 0;
    EXPECT_FALSE(file->sync());  // the crash: never done
    EXPECT_EQ(crashes, 1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(contentsOf(path("a")), "synced");
}

TEST_F(LocalFaultStorageTest, ADurableCreationWhoseSyncFailsLeavesNoFile) {
    auto storage = faulty("op=sync,nth=1,errno=EIO");
    errno = 0;
    EXPECT_FALSE(storage->createDurably(path("marker"), "job_id=1\n", modes));
    EXPECT_EQ(errno, EIO);
    EXPECT_FALSE(std::filesystem::exists(path("marker")));
    EXPECT_EQ(ops(storage->calls()), "create append sync remove");
}

TEST_F(LocalFaultStorageTest, ADurableCreationWhoseDirectorySyncFailsLeavesTheWholeFile) {
    auto storage = faulty("op=syncdir,nth=1,errno=EIO");
    EXPECT_FALSE(storage->createDurably(path("marker"), "job_id=1\n", modes));
    EXPECT_EQ(contentsOf(path("marker")), "job_id=1\n");
    errno = 0;
    EXPECT_FALSE(storage->createDurably(path("marker"), "again", modes));
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(LocalFaultStorageTest, AReplacementIsWrittenBesideSyncedRenamedOverAndItsDirectorySynced) {
    auto storage = faulty("");
    ASSERT_TRUE(storage->createDurably(path("retention.ini"), "keep-last=1\n", modes));
    ASSERT_TRUE(storage->replaceDurably(path("retention.ini"), "keep-last=2\n", modes));
    EXPECT_EQ(contentsOf(path("retention.ini")), "keep-last=2\n");
    EXPECT_EQ(ops(storage->calls()), "create append sync syncdir create append sync rename syncdir");
    const std::string fresh = "retention.ini.new-" + std::to_string(::getpid());
    EXPECT_EQ(storage->calls()[4].path, path(fresh));
    EXPECT_FALSE(std::filesystem::exists(path(fresh)));
}

TEST_F(LocalFaultStorageTest, AReplacementThatFailsLeavesTheTextBeforeAndNothingBeside) {
    for (const char* plan : {"op=sync,nth=1,errno=EIO", "op=rename,nth=1,errno=ENOSPC"}) {
        SCOPED_TRACE(plan);
        auto storage = faulty(plan);
        std::filesystem::remove(path("retention.ini"));
        {
            std::ofstream(path("retention.ini")) << "keep-last=1\n";
        }
        errno = 0;
        EXPECT_FALSE(storage->replaceDurably(path("retention.ini"), "keep-last=2\n", modes));
        EXPECT_EQ(errno, std::string(plan).find("EIO") != std::string::npos ? EIO : ENOSPC);
        EXPECT_EQ(contentsOf(path("retention.ini")), "keep-last=1\n");
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path("")))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"retention.ini"});
    }
}

TEST_F(LocalFaultStorageTest, APlacementIsWrittenBesideSyncedLinkedAndNeverOverAnother) {
    auto storage = faulty("");
    const std::string beside = "encryption-check.new-" + std::to_string(::getpid());
    ASSERT_TRUE(storage->placeDurably(path("encryption-check"), "check one\n", modes));
    EXPECT_EQ(contentsOf(path("encryption-check")), "check one\n");
    EXPECT_EQ(ops(storage->calls()), "create append sync link remove syncdir");
    EXPECT_EQ(storage->calls()[0].path, path(beside));
    EXPECT_FALSE(std::filesystem::exists(path(beside)));
    // One there already: EEXIST, and it stays as it was.
    errno = 0;
    EXPECT_FALSE(storage->placeDurably(path("encryption-check"), "check two\n", modes));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(contentsOf(path("encryption-check")), "check one\n");
    EXPECT_FALSE(std::filesystem::exists(path(beside)));
}

TEST_F(LocalFaultStorageTest, APlacementThatFailsOrCrashesLeavesNoPartOfItsText) {
    for (const char* plan : {"op=append,nth=1,short", "op=sync,nth=1,errno=EIO",
                             "op=link,nth=1,errno=ENOSPC", "op=link,nth=1,crash"}) {
        SCOPED_TRACE(plan);
        auto storage = faulty(plan);
        std::filesystem::remove(path("encryption-check"));
        EXPECT_FALSE(storage->placeDurably(path("encryption-check"), "check one\n", modes));
        EXPECT_FALSE(std::filesystem::exists(path("encryption-check")));
        if (std::string(plan).find("crash") != std::string::npos) continue;
        EXPECT_TRUE(std::filesystem::is_empty(path(""))) << "the name beside is left";
    }
}

TEST_F(LocalFaultStorageTest, LogsEachFaultBeforeItTakesEffectAndNothingElse) {
    auto storage = faulty(
        "op=append,nth=1,errno=EROFS;op=append,nth=2,short;op=sync,nth=1,stall=20ms;"
        "op=syncdir,nth=1,crash");
    auto file = storage->createExclusive(path("a"), modes);
    ASSERT_TRUE(file);
    append(*file, "ab");
    append(*file, "ab");
    file->sync();
    storage->syncDirectory(path(""));
    const std::vector<std::string> expected = {
        "storage fault: EROFS at operation 2, append of " + path("a"),
        "storage fault: a short write, then EIO, at operation 3, append of " + path("a"),
        "storage fault: a stall of 20 ms at operation 4, sync of " + path("a"),
        "storage fault: a power loss at operation 5, syncdir of " + path(""),
    };
    EXPECT_EQ(localplatform::loggedErrors, expected);
    EXPECT_EQ(crashes, 1);
}

// An inner storage that keeps unfinished writes apart, as object storage
// does: one pending write, which it gives up when asked; nothing else.
class PendingStorage final : public RefusingStorage {
public:
    std::vector<localplatform::PendingWrite> pendingWrites(const std::string& directory) override {
        return {{directory + "/1.arch", "upload-1"}};
    }
    bool abandonPendingWrite(const localplatform::PendingWrite& write) override {
        abandoned.push_back(write.id);
        return true;
    }
    bool showsUnfinishedFiles() const override { return false; }
    bool replaceDurably(const std::string& path, const std::string& text,
                        const FileModes&) override {
        replaced.push_back(path + "=" + text);
        return true;
    }
    std::vector<std::string> abandoned;
    std::vector<std::string> replaced;
};

TEST_F(LocalFaultStorageTest, PassesPendingWritesAndOneStepReplacementsThroughAndFailsThemAsTold) {
    std::vector<FaultRule> rules;
    std::string why;
    ASSERT_TRUE(localplatform::parseFaultPlan("op=abandon,nth=1,errno=EIO;op=replace,nth=1,errno=ENOSPC",
                                              &rules, &why))
        << why;
    auto inner = std::make_shared<PendingStorage>();
    FaultInjectingStorage storage(inner, rules);
    EXPECT_FALSE(storage.showsUnfinishedFiles());

    const auto writes = storage.pendingWrites(path("files"));
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].id, "upload-1");
    errno = 0;
    EXPECT_FALSE(storage.abandonPendingWrite(writes[0]));
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(inner->abandoned.empty());
    EXPECT_TRUE(storage.abandonPendingWrite(writes[0]));
    EXPECT_EQ(inner->abandoned, std::vector<std::string>{"upload-1"});

    // A replacement is the inner storage's one step, not a rename of its.
    errno = 0;
    EXPECT_FALSE(storage.replaceDurably(path("retention.ini"), "one", modes));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(storage.replaceDurably(path("retention.ini"), "two", modes));
    EXPECT_EQ(inner->replaced, std::vector<std::string>{path("retention.ini") + "=two"});

    const auto calls = storage.calls();
    EXPECT_EQ(ops(calls), "pending abandon abandon replace replace");
    EXPECT_EQ(calls[1].path, path("files") + "/1.arch");
    EXPECT_EQ(calls[1].injected, EIO);
    EXPECT_EQ(calls[3].injected, ENOSPC);
    EXPECT_TRUE(faulty("")->showsUnfinishedFiles());
}

TEST_F(LocalFaultStorageTest, ReadsRulesAndRefusesWhatItCannotDo) {
    std::vector<FaultRule> rules;
    std::string why;
    ASSERT_TRUE(localplatform::parseFaultPlan(
        "op=append,nth=3,errno=ENOSPC;from=7;op=syncdir,nth=1,stall=1s;nth=2,crash", &rules, &why))
        << why;
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0].op, StorageOp::Append);
    EXPECT_EQ(rules[0].nth, 3u);
    EXPECT_FALSE(rules[0].onward);
    EXPECT_EQ(rules[0].error, ENOSPC);
    EXPECT_FALSE(rules[1].op.has_value());
    EXPECT_TRUE(rules[1].onward);
    EXPECT_EQ(rules[1].error, EIO);
    EXPECT_EQ(rules[2].kind, FaultKind::Stall);
    EXPECT_EQ(rules[2].stall, std::chrono::milliseconds(1000));
    EXPECT_EQ(rules[3].kind, FaultKind::Crash);

    for (const char* bad :
         {"op=append", "nth=0", "in=,nth=1", "nth=1,errno=EPERM", "op=write,nth=1",
          "nth=1,stall=61s", "nth=1,stall=5", "nth=1,crash,errno=EIO", ""}) {
        EXPECT_FALSE(localplatform::parseFaultPlan(bad, &rules, &why)) << bad;
    }
    localplatform::parseFaultPlan("op=append,nth=x", &rules, &why);
    EXPECT_EQ(why, "the storage fault rule \"op=append,nth=x\" has an unusable word \"nth=x\"");
}

}  // namespace
