#pragma once

// The state behind the live FakePlatform, shared by the fake's definitions of
// the platform calls. Internal to the fake library; not installed.
//
// Every platform call goes through State::enter: it numbers the call, finds
// the rule that decides it, throws when that rule says so (recording the
// call first), and otherwise hands back the verdict; the call then records
// itself with State::record. Either way each call is recorded exactly once.

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
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

// The number of operations in Op.
constexpr std::size_t kOpCount = static_cast<std::size_t>(Op::SetExternalBuffer) + 1;

// What was scripted for one archive object, and what it has done. Kept by
// number, apart from the object, so that a test may script an object before
// it is made.
struct ArchiveScript {
    std::optional<CreateRet_t> createRet;
    unsigned long long offset = 0;
    unsigned long long copy = 1;
    std::optional<ArchiveFileId_t> fileId;
    ArchiveFileId_t opened{};        // identity of the last successful open
    std::deque<int> messages;        // what readBuffer still has to deliver
    ArchiveFacts facts;
};

// How a call is to be answered, as the deciding rule said.
struct Verdict {
    std::optional<int> result;
    std::optional<CQiError> sendResult;
    bool nullSessionHead = false;
};

// Marks the calling thread as inside a platform call while it lives.
class PlatformScope {
public:
    PlatformScope();
    ~PlatformScope();
    PlatformScope(const PlatformScope&) = delete;
    PlatformScope& operator=(const PlatformScope&) = delete;
};

struct FakePlatform::State {
    struct Rule {
        std::optional<Op> op;
        Match match;
        Action action;
        int selected = 0;            // calls matched so far, for nth and times
    };

    Recording recording = Recording::Journal;
    std::vector<Call> calls;
    std::array<long long, kOpCount> counts{};  // calls per operation
    std::vector<LogLine> logs;
    std::vector<Rule> rules;
    long long seq = 0;
    std::map<int, ArchiveScript> scripts;
    // Live archive objects by number. Objects are found by address only, so
    // that a call on a deleted one is caught without reading its memory.
    std::map<int, ZebArchive*> live;
    std::unordered_map<const ZebArchive*, int> liveNumbers;  // live, by address
    int archivesMade = 0;
    int archivesDeleted = 0;
    std::vector<std::unique_ptr<CZebNetwork>> sessions;  // head n at index n-1
    unsigned long long jobId = 0;
    std::map<std::pair<std::string, std::string>, unsigned long> settings;
    std::string physicalMachine = "fake-machine";
    bool allowEmptyReads = false;
    std::function<void(const std::string&)> problemHandler;

    // A call of op on a live archive object; aborts when the object is not
    // alive.
    Call callOn(Op op, const ZebArchive* archive) const;
    // Numbers call and applies the rule that decides it: throws (after
    // recording the call) when the rule says so, else returns its verdict.
    Verdict enter(Call& call);
    // Counts call and, when journaling, appends it to the record.
    void record(Call&& call);
    // Whether calls are kept (and their arguments worth copying).
    bool journaling() const { return recording == Recording::Journal; }
    // A send's result: the verdict's, else success.
    static CQiError sendResult(const Verdict& verdict);
    // The script of archive object n.
    ArchiveScript& script(int archive);
    // Makes the next session head and keeps it until restart or the end.
    CZebNetwork* newSession();
    // The setting's value, or null when it is absent.
    const unsigned long* setting(const std::string& section, const std::string& key) const;
    // Reports a problem through the handler.
    void problem(const std::string& message);
};

// The state of the live FakePlatform. With none alive, prints that call was
// made without one and aborts.
FakePlatform::State& currentState(const char* call);

// Passes a call that carries nothing but its operation through the gate and
// records it: a rule may fail it, throw or run a callback.
inline void plainCall(Op op) {
    auto& state = currentState(opName(op));
    Call call;
    call.op = op;
    state.enter(call);
    state.record(std::move(call));
}

// Prints message to stderr and aborts.
[[noreturn]] void fail(const std::string& message);

// A copy of a C string argument; nullopt for null.
inline std::optional<std::string> copyOf(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

}  // namespace fakeplatform
