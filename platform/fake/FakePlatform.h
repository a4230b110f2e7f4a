#pragma once

// A scriptable, recording stand-in for the whole platform: the archive
// library, the message channel, the archive manager, the logger, the settings
// store and the sleep. Link a program against this library instead of a real
// platform, make one FakePlatform, and every platform call made while it
// lives is answered by it and written to its journal. Nothing is slept and no
// file is touched.
//
// Archive objects are numbered 1, 2, ... in the order they are made, session
// heads 1, 2, ... in the order openArchiveFile hands them out; the journal
// names objects by these numbers.

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
};

// The name of an operation as it appears in Call::describe().
const char* opName(Op op);

// A message as CZebNetwork::SendXDRMessage received it, decoded by its code.
struct SentMessage {
    unsigned long code = 0;
    bool hasBuffer = false;          // false when the buffer pointer was null
    unsigned long bodyLength = 0;    // 0 for a buffer without a body
    std::vector<unsigned char> body; // the body's bytes as they were at the send
    int arg1 = 0;
    int arg2 = 0;
    bool flagOnEntry = false;        // the flag's value when the send began
    std::optional<FSROpenArchive> open;         // FSR_MSG_OPEN_ARCHIVE with an 88-byte body
    std::optional<FSRSeekArchiveArray> seek;    // the seek codes with a 16-byte body
    std::vector<FSRSeekArchive> seekElements;   // read through seek->elements
};

// One platform call, with copies of what was passed and what was returned.
struct Call {
    Op op = Op::ArchiveMade;
    int archive = 0;                 // archive object number; 0 when none
    int session = 0;                 // session head number (sends); 0 when none
    long long result = 0;            // int result returned; a send's CQiError code
    bool nullArg1 = false;           // first pointer argument was null
    bool nullArg2 = false;           // second pointer argument was null
    bool flag = false;               // a constructor's bool
    unsigned long long value = 0;    // pause ms, restart context, restore constructor's
                                     // objectParam, getNumber's value written, job id
    std::optional<std::string> text;  // setupPipeline's text, constructor's text or machine
                                      // name, pause unit, getNumber section; nullopt for null
    std::string key;                 // getNumber's key
    int line = 0;                    // pause line
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
    // "readBuffer#1", "delete ZebArchive#1".
    std::string describe() const;
};

// A line handed to EvDebug.
struct LogLine {
    std::string method;              // "debug", "error", "Debug" or "DebugLvl"
    std::string function;            // Debug and DebugLvl only
    int level = -1;                  // DebugLvl only
    std::string text;                // formatted
    unsigned long long jobId = 0;    // of the context it was logged on
};

// Selects the calls a scripted result applies to; a zero field matches any.
struct Match {
    int archive = 0;                 // archive object number
    int session = 0;                 // session head number
    int nth = 0;                     // n-th call of the operation, counted from 1
    unsigned long code = 0;          // message code (sends only)
};

class FakePlatform {
public:
    // Becomes the platform that every platform call reaches. Only one may
    // live at a time; a platform call with none alive aborts the program.
    FakePlatform();
    // Frees the session heads. Archive objects still alive stay the caller's
    // to delete, but must be deleted before this.
    ~FakePlatform();

    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    // --- Scripting. A later rule that matches a call wins over an earlier one.

    // The int result of op (an archive-library call, InvalidateArchFilesByJob,
    // or GetNumber's found/not found) for the matching calls. Default 0, but
    // readBuffer and GetNumber see below.
    void setResult(Op op, int result, Match match = {});
    // The result of the matching sends. Default: success, code 0.
    void setSendResult(CQiError result, Match match = {});
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
    // Message types that readBuffer on archive object n delivers, in order
    // (appended to those still queued). With none queued readBuffer returns
    // 0, so a wait never hangs.
    void queueMessages(int archive, const std::vector<int>& types);
    // The id EvEvent contexts made from now on report. Default 0.
    void setJobId(unsigned long long jobId);
    // Settings: present with a value, or absent (the default).
    void setSetting(const std::string& section, const std::string& key, unsigned long value);
    void removeSetting(const std::string& section, const std::string& key);
    // What getPhysicalMachine returns. Default "fake-machine".
    void setPhysicalMachine(const std::string& name);

    // --- Observation.

    const std::vector<Call>& journal() const;
    // The journal's calls of one operation, in order.
    std::vector<Call> calls(Op op) const;
    // Call::describe() of every journal entry, in order.
    std::vector<std::string> trace() const;
    const std::vector<LogLine>& logs() const;
    // Forgets the journal and the log lines; scripts and objects stay.
    void clearJournal();

    // Archive objects made, deleted, and still alive.
    int archivesMade() const;
    int archivesDeleted() const;
    int liveArchives() const;
    // Archive object n while it lives, else null.
    ZebArchive* archive(int n) const;
    // Session head n (session heads live as long as the fake).
    CZebNetwork* session(int n) const;
    // The number of a live archive object or a session head; 0 if unknown.
    int archiveNumber(const ZebArchive* archive) const;
    int sessionNumber(const CZebNetwork* session) const;

    struct State;

private:
    State* m_state;
};

}  // namespace fakeplatform
