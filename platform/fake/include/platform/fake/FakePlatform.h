#pragma once

// A scriptable, recording, fault-injecting stand-in for the whole platform:
// the archive library, the message channel, the archive manager, the logger,
// the settings store and the sleep. Link a program against this library
// instead of a real platform, make one FakePlatform, and every platform call
// made while it lives passes through one gate: it is numbered, matched
// against the rules the test gave, answered (or made to throw), and recorded
// once. Nothing is slept and no file is touched.
//
// Archive objects are numbered 1, 2, ... in the order they are made, session
// heads 1, 2, ... in the order openArchiveFile hands them out; restart()
// starts both counts again. The journal names objects by these numbers.
//
// Threads: one test thread at a time.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ArMgrClientAPI.h"
#include "platform/ArchiveRecords.h"
#include "platform/CQiError.h"
#include "platform/FsrMessages.h"

class CZebNetwork;
class ZebArchive;

namespace fakeplatform {

enum class Op {
    ArchiveMade,          // a ZebArchive constructor
    ArchiveDeleted,       // the ZebArchive destructor
    SetupPipeline,
    CreateArchiveFile,
    GetCurrentArchiveFileOffset,
    CloseAfile,
    SetRestartContext,
    FreeBuffer,
    ClosePipeline,
    OpenArchiveFile,
    GetArchiveFileId,
    CloseArchiveFileAndReleaseVolume,
    ReadBuffer,
    SendXDRMessage,
    InvalidateArchFilesByJob,
    GetJobId,
    GetNumber,
    GetPhysicalMachine,
    Sleep,
    // The logging context, the helper objects and the log lines. They are in
    // allCalls() but not in journal().
    EventMade,            // EvEvent constructor
    EventGone,            // EvEvent destructor
    Log,                  // EvDebug::debug, error, Debug or DebugLvl
    PlatformInfoMade,     // ZebPlatformInfo constructor
    PlatformInfoGone,     // ZebPlatformInfo destructor
    ClientMade,           // ArMgrClientAPI constructor
    ClientGone,           // ArMgrClientAPI destructor
    BufferMade,           // zebsDatabuf_v2 constructor
    BufferGone,           // zebsDatabuf_v2 destructor
    SetExternalBuffer,
};

// The name of an operation as it appears in Call::describe().
const char* opName(Op op);
// False for the destructors, which never throw.
bool canThrow(Op op);
// False for the logging context, the helper objects and the log lines.
bool inJournal(Op op);

// A message as CZebNetwork::SendXDRMessage received it, decoded by its code.
struct SentMessage {
    unsigned long code = 0;
    bool hasBuffer = false;          // false when the buffer pointer was null
    const void* bufferAddress = nullptr;  // the zebsDatabuf_v2 object
    const void* bodyAddress = nullptr;    // the body it referred to
    unsigned long bodyLength = 0;    // 0 for a buffer without a body
    // The body's bytes as they were at the send. Padding inside a body (bytes
    // 4-7 of a seek body) is whatever the sender left there: compare fields.
    std::vector<unsigned char> body;
    int arg1 = 0;
    int arg2 = 0;
    bool flagOnEntry = false;        // the flag's value when the send began
    std::optional<FSROpenArchive> open;         // FSR_MSG_OPEN_ARCHIVE with an 88-byte body
    std::optional<FSRSeekArchiveArray> seek;    // the seek codes with a 16-byte body
    std::vector<FSRSeekArchive> seekElements;   // read through seek->elements
};

// A line handed to EvDebug.
struct LogLine {
    std::string method;              // "debug", "error", "Debug" or "DebugLvl"
    std::string function;            // Debug and DebugLvl only
    int level = -1;                  // DebugLvl only
    std::string text;                // formatted
    unsigned long long jobId = 0;    // of the context it was logged on
};

// One platform call, with copies of what was passed and what was returned.
// Fields that do not belong to the call's operation keep their defaults.
struct Call {
    Op op = Op::ArchiveMade;
    long long seq = 0;               // position among all calls of this fake, from 1
    int archive = 0;                 // archive object number; 0 when none
    int session = 0;                 // session head number (sends, opens); 0 when none
    long long result = 0;            // int result returned; a send's CQiError code
    bool threw = false;              // a rule made the call throw instead of returning
    bool nullArg1 = false;           // first pointer argument was null
    bool nullArg2 = false;           // second pointer argument was null
    bool flag = false;               // a constructor's bool
    std::optional<std::string> text;         // backup constructor's or setupPipeline's text
    long long objectParam = 0;               // restore constructor's first argument
    std::optional<std::string> machineName;  // restore constructor's; getPhysicalMachine's answer
    unsigned int restartContext = 0;         // SetRestartContext
    std::optional<unsigned long long> offset;  // written by GetCurrentArchiveFileOffset
    unsigned long pauseMs = 0;               // sleep
    std::optional<std::string> unit;         // sleep's source unit
    int line = 0;                            // sleep's line
    std::optional<std::string> section;      // getNumber
    std::string key;                         // getNumber
    std::optional<unsigned long> settingValue;  // written by getNumber
    unsigned long long jobId = 0;            // getJobId's answer
    std::optional<LogLine> log;              // Op::Log
    std::optional<SetupPipelineArgs_t> setupArgs;
    std::optional<CreateArgs_t> createArgs;
    std::optional<CreateRet_t> createRet;            // as written by the fake
    std::optional<CloseAfileArgs_t> closeAfileArgs;
    std::optional<ClosePipelineArgs_t> closePipelineArgs;
    std::optional<InvalidateArchFilesByJobArgs_t> invalidateArgs;
    std::optional<OpenArgs_t> openArgs;
    std::optional<ArchiveFileId_t> archiveFileId;    // as written by GetArchiveFileId
    std::optional<int> messageType;                  // as written by a successful readBuffer
    std::optional<SentMessage> message;

    // A short line for order checks, e.g. "new ZebArchive#1", "setupPipeline#1",
    // "createArchiveFile#2", "sleep 2000", "send 0x18000095 session#1",
    // "readBuffer#1", "delete ZebArchive#1", "log error".
    std::string describe() const;
};

// Which calls a rule selects. A zero field matches any call.
struct Match {
    int archive = 0;                 // archive object number
    int session = 0;                 // session head number
    // The first selected call, counted from 1 over the calls that the rule's
    // operation and other fields match (each rule counts for itself); 0
    // selects every matching call.
    int nth = 0;
    unsigned long code = 0;          // message code (sends only)
    // With nth: how many matching calls from the nth on; kOnward for all.
    int times = 1;
    // Only the call at this position among all calls of the fake (Call::seq).
    long long seq = 0;

    static constexpr int kOnward = 0;
};

// What a selected call does instead of its default answer.
class Action {
public:
    // The int result (for a send: an error result with this code and the
    // text "injected fault <code>", or success for a code of 0 or more).
    static Action returns(int result);
    // The result of a send.
    static Action returns(CQiError result);
    // openArchiveFile only: succeeds but writes a null session head.
    static Action nullSessionHead();
    // Throws a copy of exception instead of returning. Destructors, which
    // cannot throw, are never selected by a rule that throws.
    template <typename Exception>
    static Action throws(Exception exception) {
        Action action;
        action.m_thrower = [exception] { throw exception; };
        return action;
    }
    // Asks decide, at each selected call, what that call does; decide may
    // also script the fake (queue messages, add rules). Action() leaves the
    // call its default answer.
    static Action run(std::function<Action(const Call&)> decide);

    Action() = default;

    std::optional<int> m_result;
    std::optional<CQiError> m_sendResult;
    bool m_nullSessionHead = false;
    std::function<void()> m_thrower;
    std::function<Action(const Call&)> m_decide;
};

// How the fake keeps what it sees.
enum class Recording {
    // Every call is kept (allCalls()), every log line formatted and kept
    // (logs()). The default, which the tests rely on.
    Journal,
    // For benchmarks: calls are only counted per operation (count()) and
    // nothing is kept of them, not even the copies of their arguments; log
    // lines go to a null sink that counts them without formatting them. Rules
    // and scripts work as in Journal, but a rule's deciding callback sees a
    // call without those copies (a send carries only its code).
    CountsOnly,
};

// A readBuffer script entry that makes that read fail (return 0).
constexpr int kReadFails = -0x7fffffff;

// What the fake knows about archive object n, alive or deleted.
struct ArchiveFacts {
    bool made = false;
    bool alive = false;
    bool restoreSide = false;        // made by the restore constructor
    long long objectParam = 0;       // the restore constructor's first argument
    std::optional<CreateRet_t> created;  // what the last successful create wrote
    int lastSession = 0;             // session head of the last successful open; 0 if none
};

class FakePlatform {
public:
    // Becomes the platform that every platform call reaches. Only one may
    // live at a time; a platform call with none alive aborts the program.
    FakePlatform();
    // The same, keeping what it sees as recording says.
    explicit FakePlatform(Recording recording);
    // Frees the session heads. Archive objects still alive stay the caller's
    // to delete, but must be deleted before this.
    ~FakePlatform();

    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    // Forgets everything, as a new fake would: journal, logs, rules, scripts,
    // settings, counts and numbering; keeps the recording mode and the
    // problem handler. Aborts while an archive object lives.
    void restart();
    Recording recording() const;

    // --- Rules. For each call the last rule that selects it decides.

    // Applies action to the calls of op (every operation when op is empty)
    // that match selects.
    void inject(std::optional<Op> op, Match selects, Action action);
    // Shorthands: the int result of op (an archive-library call,
    // InvalidateArchFilesByJob, or GetNumber's found/not found), and the
    // result of the matching sends. Defaults: 0, success; readBuffer and
    // GetNumber see below.
    void setResult(Op op, int result, Match match = {});
    void setSendResult(CQiError result, Match match = {});
    // Removes every rule.
    void clearRules();

    // --- Scripts.

    // What createArchiveFile writes for archive object n. Default: leading
    // bytes 0xA0..0xA7, trellanId 1000+n, groupNumber 2000+n, afileId 3000+n,
    // trailing bytes 0xB0..0xBB.
    void setCreateRet(int archive, const CreateRet_t& ret);
    // The offset GetCurrentArchiveFileOffset reports for archive object n.
    // Default 0.
    void setOffset(int archive, unsigned long long offset);
    // The copy number openArchiveFile reports for archive object n. Default 1.
    void setCopyNumber(int archive, unsigned long long copy);
    // What GetArchiveFileId writes for archive object n. Default: the low 32
    // bits of trellanId, groupNumber and afileId of the last successful
    // openArchiveFile on it, or zeros before one.
    void setArchiveFileId(int archive, const ArchiveFileId_t& id);
    // What readBuffer on archive object n delivers, in order (appended to
    // what is still queued): message types, or kReadFails for a failed read.
    // A readBuffer with nothing queued and no rule for it returns 0 and is
    // reported as a problem, unless allowEmptyReads(true) was called.
    void queueMessages(int archive, const std::vector<int>& types);
    void allowEmptyReads(bool allow);
    // The id EvEvent contexts made from now on report. Default 0.
    void setJobId(unsigned long long jobId);
    // Settings: present with a value, or absent (the default).
    void setSetting(const std::string& section, const std::string& key, unsigned long value);
    void removeSetting(const std::string& section, const std::string& key);
    // What getPhysicalMachine returns. Default "fake-machine".
    void setPhysicalMachine(const std::string& name);

    // What the fake does with a problem that the code under test caused but
    // that leaves memory intact (so far: a readBuffer with nothing
    // scripted). Default: print it and abort. Tests hand it to their
    // framework's failure report.
    void setProblemHandler(std::function<void(const std::string&)> handler);

    // --- Observation.

    // Every call, in order, the logging context and helpers included.
    const std::vector<Call>& allCalls() const;
    // The calls for which inJournal() holds, in order.
    std::vector<Call> journal() const;
    // The journal's calls of one operation, in order.
    std::vector<Call> calls(Op op) const;
    // Call::describe() of every journal entry, in order.
    std::vector<std::string> trace() const;
    const std::vector<LogLine>& logs() const;
    // Forgets the calls and the log lines; rules, scripts and objects stay.
    void clearJournal();
    // Platform calls made so far (the seq of the last one).
    long long callCount() const;
    // Calls of op made so far (for Op::Log the lines), in either recording
    // mode. Like callCount(), kept by clearJournal() and reset by restart().
    long long count(Op op) const;

    // Archive objects made, deleted, and still alive.
    int archivesMade() const;
    int archivesDeleted() const;
    int liveArchives() const;
    ArchiveFacts facts(int archive) const;
    // Archive object n while it lives, else null.
    ZebArchive* archive(int n) const;
    // Session head n (session heads live until restart or the fake's end).
    CZebNetwork* session(int n) const;
    // The number of a live archive object or a session head; 0 if unknown.
    int archiveNumber(const ZebArchive* archive) const;
    int sessionNumber(const CZebNetwork* session) const;

    struct State;

private:
    State* m_state;
};

// True while the calling thread is inside one of the fake's platform calls;
// lets a test's allocation counter tell the platform's allocations from the
// library's own.
bool insidePlatformCall();

}  // namespace fakeplatform
