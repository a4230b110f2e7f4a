#pragma once

// The state behind the live FakePlatform, shared by the fake's definitions of
// the platform calls. Internal to the fake library; not installed.

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/CQiError.h"
#include "platform/CZebNetwork.h"
#include "platform/ZebArchive.h"
#include "platform/fake/FakePlatform.h"

struct CZebNetwork::Impl {
    int number = 0;  // the session head's number, 1 for the first handed out
};

namespace fakeplatform {

// What was scripted for one archive object, and what it has opened. Kept by
// number, apart from the object, so that a test may script an object before
// it is made.
struct ArchiveScript {
    std::optional<CreateRet_t> createRet;
    unsigned long long offset = 0;
    unsigned long long copy = 1;
    std::optional<ArchiveFileId_t> fileId;
    ArchiveFileId_t opened{};        // identity of the last successful open
    std::deque<int> messages;        // types readBuffer still has to deliver
};

struct FakePlatform::State {
    struct ResultRule {
        Op op;
        int result;
        Match match;
    };
    struct SendRule {
        CQiError result;
        Match match;
    };

    std::vector<Call> journal;
    std::vector<LogLine> logs;
    std::vector<ResultRule> resultRules;
    std::vector<SendRule> sendRules;
    std::map<Op, int> callCounts;    // calls of each scriptable operation so far
    std::map<int, ArchiveScript> scripts;
    // Live archive objects by number. Objects are found by address only, so
    // that a call on a deleted one is caught without reading its memory.
    std::map<int, ZebArchive*> live;
    int archivesMade = 0;
    int archivesDeleted = 0;
    std::vector<std::unique_ptr<CZebNetwork>> sessions;  // head n at index n-1
    unsigned long long jobId = 0;
    std::map<std::pair<std::string, std::string>, unsigned long> settings;
    std::string physicalMachine = "fake-machine";

    // A call of op on a live archive object; aborts when the object is not
    // alive.
    Call callOn(Op op, const ZebArchive* archive) const;
    // Counts call as the next one of its operation and returns the result of
    // the last rule that matches it, if any.
    std::optional<int> scriptedResult(const Call& call);
    // Counts call as the next send and returns the result of the last rule
    // that matches it, else success.
    CQiError sendResult(const Call& call);
    // The script of archive object n.
    ArchiveScript& script(int archive);
    // Makes the next session head and keeps it until the fake ends.
    CZebNetwork* newSession();
    // The setting's value, or null when it is absent.
    const unsigned long* setting(const std::string& section, const std::string& key) const;
};

// The state of the live FakePlatform. With none alive, prints that call was
// made without one and aborts.
FakePlatform::State& currentState(const char* call);

// Prints message to stderr and aborts.
[[noreturn]] void fail(const std::string& message);

// A copy of a C string argument; nullopt for null.
inline std::optional<std::string> copyOf(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

}  // namespace fakeplatform
