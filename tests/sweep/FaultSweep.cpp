// The fault sweep: every scenario that the unit tests run is run again and
// again, each time with one fault point N = 1, 2, ... until a run reaches no
// fault, in five modes:
//   fail-once     the N-th platform call whose result the library reads fails
//   fail-onward   that call and every such call after it fail
//   null-head     the N-th openArchiveFile succeeds without a session head
//   throw         the N-th platform call of any kind throws
//   alloc         the N-th allocation of the library's own throws bad_alloc
// Each run checks the operation's result, the log line that reports the
// failure, the calls that may not follow it, that no logging context or
// helper outlives its operation, that the object stays consistent and can
// be closed and destroyed after an exception, and that every archive object
// is deleted exactly once.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backup/BackupPipelineSetup.h"
#include "platform/FsrMessages.h"
#include "platform/fake/FakePlatform.h"
#include "restore/RestorePipelineSetup.h"
#include "tests/FaultChecks.h"

using fakeplatform::Action;
using fakeplatform::Call;
using fakeplatform::FakePlatform;
using fakeplatform::Op;

// --- The library's own allocations

namespace {

// Counts, while armed, the allocations made outside the fake's platform
// calls, and throws at the chosen one.
struct AllocationFault {
    bool armed = false;
    long long failAt = 0;            // 0: never
    long long seen = 0;
    long long seqAtFailure = -1;     // platform calls made before it failed
    const FakePlatform* fake = nullptr;
};
AllocationFault g_alloc;

void* allocate(std::size_t size) {
    if (g_alloc.armed && !fakeplatform::insidePlatformCall()) {
        if (++g_alloc.seen == g_alloc.failAt) {
            g_alloc.seqAtFailure = g_alloc.fake ? g_alloc.fake->callCount() : 0;
            throw std::bad_alloc();
        }
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

enum class Mode { FailOnce, FailOnward, NullHead, Throw, Alloc };
const char* modeName(Mode mode) {
    switch (mode) {
    case Mode::FailOnce: return "fail-once";
    case Mode::FailOnward: return "fail-onward";
    case Mode::NullHead: return "null-head";
    case Mode::Throw: return "throw";
    case Mode::Alloc: return "alloc";
    }
    return "?";
}
constexpr Mode kModes[] = {Mode::FailOnce, Mode::FailOnward, Mode::NullHead, Mode::Throw,
                           Mode::Alloc};

struct InjectedFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The calls whose result the library reads, and how each one fails.
bool resultIsRead(Op op) {
    switch (op) {
    case Op::SetupPipeline:
    case Op::CreateArchiveFile:
    case Op::GetCurrentArchiveFileOffset:
    case Op::CloseAfile:
    case Op::InvalidateArchFilesByJob:
    case Op::OpenArchiveFile:
    case Op::CloseArchiveFileAndReleaseVolume:
    case Op::ReadBuffer:
    case Op::SendXDRMessage:
    case Op::GetNumber:
        return true;
    default:
        return false;
    }
}

Action failureOf(const Call& call) {
    switch (call.op) {
    case Op::ReadBuffer:
    case Op::GetNumber:  // the setting is then absent
        return Action::returns(0);
    case Op::SendXDRMessage:
        return Action::returns(CQiError(-1, "injected"));
    default:
        return Action::returns(-1);
    }
}

// The number in "Unit(NNN): ..." of a log line; -1 for lines without it.
int tagOf(const std::string& text) {
    const auto open = text.find('(');
    if (open == std::string::npos || text.compare(0, 4, "Fail") == 0) return -1;
    return std::atoi(text.c_str() + open + 1);
}

struct Fault {
    Call call;                       // the call that failed (message decoded)
    int context = -1;                // tag of the last log line before it
};

struct Window {
    std::string name;
    long long first = 0;             // seq of its first call
    long long last = 0;              // seq of its last call
    std::optional<bool> result;      // nullopt for operations without one
    bool threw = false;
    std::vector<Fault> faults;
};

long long g_runs = 0;                // runs that reached their fault
std::map<std::string, long long> g_runsPerScenario;

// One run of a scenario with one fault point.
class FaultRun {
public:
    FaultRun(FakePlatform& fake, Mode mode, long long n) : m_fake(fake), m_mode(mode), m_n(n) {
        fake.setProblemHandler([](const std::string& problem) { ADD_FAILURE() << problem; });
        fake.inject(std::nullopt, {}, Action::run([this](const Call& call) { return decide(call); }));
        g_alloc = AllocationFault();
        g_alloc.fake = &fake;
        if (mode == Mode::Alloc) g_alloc.failAt = n;
    }
    ~FaultRun() { g_alloc = AllocationFault(); }

    // Runs one library operation with faults armed. False when it threw:
    // the scenario then stops and the object is cleaned up.
    bool op(const std::string& name, const std::function<bool()>& body) {
        return window(name, [&](Window& w) { w.result = body(); });
    }
    bool act(const std::string& name, const std::function<void()>& body) {
        return window(name, [&](Window&) { body(); });
    }

    // Faults off, for the cleanup after an exception and for probes.
    void disarm() { m_disarmed = true; }
    bool reachedFault() const {
        return m_mode == Mode::Alloc ? g_alloc.seen >= m_n : m_seen >= m_n;
    }
    const std::vector<Window>& windows() const { return m_windows; }
    Mode mode() const { return m_mode; }

private:
    bool window(const std::string& name, const std::function<void(Window&)>& body) {
        Window w;
        w.name = name;
        w.first = m_fake.callCount() + 1;
        m_current = &w;
        const long long faultsBefore = static_cast<long long>(m_faults.size());
        bool threw = false;
        g_alloc.armed = !m_disarmed;
        try {
            body(w);
        } catch (const InjectedFault&) {
            threw = true;
            if (m_mode != Mode::Throw) ADD_FAILURE() << name << ": unexpected InjectedFault";
        } catch (const std::bad_alloc&) {
            threw = true;
            if (m_mode != Mode::Alloc) ADD_FAILURE() << name << ": unexpected bad_alloc";
        }
        g_alloc.armed = false;
        m_current = nullptr;
        w.threw = threw;
        w.last = m_fake.callCount();
        w.faults.assign(m_faults.begin() + faultsBefore, m_faults.end());
        EXPECT_TRUE(faultchecks::helpersLeftBehind(m_fake).empty())
            << name << " left behind " << ::testing::PrintToString(
                                              faultchecks::helpersLeftBehind(m_fake));
        m_windows.push_back(w);
        return !threw;
    }

    Action decide(const Call& call) {
        if (call.op == Op::Log) m_lastTag = tagOf(call.log->text);
        if (m_current && !m_disarmed) {
            bool hit = false;
            Action fault;
            switch (m_mode) {
            case Mode::FailOnce:
            case Mode::FailOnward:
                if (resultIsRead(call.op)) {
                    ++m_seen;
                    hit = m_seen == m_n || (m_mode == Mode::FailOnward && m_seen > m_n);
                    fault = failureOf(call);
                }
                break;
            case Mode::NullHead:
                if (call.op == Op::OpenArchiveFile) {
                    hit = ++m_seen == m_n;
                    fault = Action::nullSessionHead();
                }
                break;
            case Mode::Throw:
                if (fakeplatform::canThrow(call.op)) {
                    hit = ++m_seen == m_n;
                    fault = Action::throws(InjectedFault("injected"));
                }
                break;
            case Mode::Alloc:
                break;
            }
            if (hit) {
                m_faults.push_back({call, m_lastTag});
                return fault;
            }
        }
        if (call.op == Op::ReadBuffer) answerRead(call);
        return Action();
    }

    // Every wait takes two messages: an aborted read-all, then the closed
    // file (closeArchFile); a closed file, then the pipeline's end
    // (closePipeline), which is a destroy on odd objects and an aborted
    // read-all on even ones.
    void answerRead(const Call& call) {
        int type = fakeplatform::kReadFails;
        switch (m_lastTag) {
        case 242: type = PL_FS_READ_ALL_ABORTED; break;
        case 268: type = PL_FS_CLOSE_AFILE; break;
        case 120: type = PL_FS_CLOSE_AFILE; break;
        case 137: type = call.archive % 2 ? PL_FS_DESTROY : PL_FS_READ_ALL_ABORTED; break;
        default: break;
        }
        m_fake.queueMessages(call.archive, {type});
    }

    FakePlatform& m_fake;
    Mode m_mode;
    long long m_n;
    long long m_seen = 0;
    bool m_disarmed = false;
    int m_lastTag = -1;
    Window* m_current = nullptr;
    std::vector<Fault> m_faults;
    std::vector<Window> m_windows;
};

// --- What the failure of one call must lead to

// False unless the failure is one that the operation only logs.
bool decidesResult(const Fault& fault, Mode mode) {
    if (mode == Mode::NullHead) return true;
    const Call& call = fault.call;
    if (call.op == Op::GetNumber || call.op == Op::InvalidateArchFilesByJob) return false;
    if (call.op == Op::SendXDRMessage && call.message->code == FSR_MSG_RESTORE_END) return false;
    return true;
}

struct Expected {
    std::string method;              // of the line that must follow; empty: no line
    std::string start;               // its text starts so
};

Expected expectedLine(const Fault& fault, Mode mode) {
    const Call& call = fault.call;
    if (mode == Mode::NullHead) return {"error", "RestorePipelineSetup(470): -Error-: "};
    switch (call.op) {
    case Op::SetupPipeline: return {"error", "BackupPipelineSetup(215): -Error-: "};
    case Op::CreateArchiveFile: return {"error", "BackupPipelineSetup(228): -Error-: "};
    case Op::CloseAfile: return {"Debug", "Failed to close pipeline for stream["};
    case Op::InvalidateArchFilesByJob: return {"DebugLvl", "Failed to invalide archive file("};
    case Op::OpenArchiveFile: return {"error", "RestorePipelineSetup(468): -Error-: "};
    case Op::CloseArchiveFileAndReleaseVolume:
        return {"error", "RestorePipelineSetup(236): -Error-: "};
    case Op::ReadBuffer:
        return fault.context == 242 || fault.context == 268
                   ? Expected{"debug", "RestorePipelineSetup(252): -Debug-: "}
                   : Expected{"debug", "RestorePipelineSetup(126): -Debug-: "};
    case Op::SendXDRMessage:
        switch (call.message->code) {
        case FSR_MSG_OPEN_ARCHIVE: return {"error", "RestorePipelineSetup(495): -Error-: "};
        case FSR_MSG_READ_ALL: return {"error", "RestorePipelineSetup(510): -Error-: "};
        case FSR_MSG_SEEK_TO_OFFSET: return {"error", "RestorePipelineSetup(389): -Error-: "};
        case FSR_MSG_SEEK_FOLLOW_UP: return {"error", "RestorePipelineSetup(402): -Error-: "};
        case FSR_MSG_RESTORE_END: return {"debug", "RestorePipelineSetup(176): -Debug-: "};
        case FSR_MSG_CLOSE_ARCHIVE:
            return fault.context == 210
                       ? Expected{"debug", "RestorePipelineSetup(219): -Debug-: "}
                       : Expected{"debug", "RestorePipelineSetup(114): -Debug-: "};
        }
        break;
    default:
        break;
    }
    return {};  // GetCurrentArchiveFileOffset, GetNumber: nothing logged
}

// The journal calls of window w after seq, in order.
std::vector<Call> after(const FakePlatform& fake, const Window& w, long long seq) {
    std::vector<Call> rest;
    for (long long s = seq + 1; s <= w.last; ++s) {
        const Call& call = fake.allCalls()[s - 1];
        if (fakeplatform::inJournal(call.op)) rest.push_back(call);
    }
    return rest;
}

std::string describe(const std::vector<Call>& calls) {
    std::string text;
    for (const Call& call : calls) text += call.describe() + "; ";
    return text;
}

// Checks what follows a failed call in its operation.
void checkFollowing(const FakePlatform& fake, const Window& w, const Fault& fault, Mode mode) {
    const Call& call = fault.call;
    SCOPED_TRACE("after the failure of " + call.describe() + " in " + w.name);

    // The log line that reports it comes first.
    const Expected line = expectedLine(fault, mode);
    std::optional<fakeplatform::LogLine> next;
    for (long long s = call.seq + 1; s <= w.last && !next; ++s) {
        if (fake.allCalls()[s - 1].op == Op::Log) next = fake.allCalls()[s - 1].log;
    }
    if (!line.method.empty()) {
        ASSERT_TRUE(next.has_value()) << "no log line";
        EXPECT_EQ(next->method, line.method) << next->text;
        EXPECT_EQ(next->text.compare(0, line.start.size(), line.start), 0) << next->text;
    } else if (call.op == Op::GetNumber && next) {
        EXPECT_EQ(next->text.find("(428)"), std::string::npos) << next->text;
    } else if (call.op == Op::GetCurrentArchiveFileOffset) {
        EXPECT_FALSE(next.has_value()) << next->text;
    }

    // Then only the calls that may follow it.
    const auto rest = after(fake, w, call.seq);
    const auto onlyDeletes = [&] {
        for (const Call& c : rest) {
            EXPECT_EQ(c.op, Op::ArchiveDeleted) << describe(rest);
        }
    };
    const auto nothingOn = [&](int archive) {
        for (const Call& c : rest) EXPECT_NE(c.archive, archive) << describe(rest);
    };
    if (mode == Mode::NullHead) {
        EXPECT_TRUE(rest.empty()) << describe(rest);
        return;
    }
    const unsigned long code = call.message ? call.message->code : 0;
    switch (call.op) {
    case Op::SetupPipeline:
    case Op::CreateArchiveFile:
        ASSERT_FALSE(rest.empty());
        EXPECT_EQ(rest[0].describe(), "delete ZebArchive#" + std::to_string(call.archive));
        EXPECT_EQ(rest.size(), 1u) << describe(rest);
        break;
    case Op::CloseAfile:
        onlyDeletes();
        break;
    case Op::InvalidateArchFilesByJob: {
        // The close goes on with the stream's buffer, pipeline and object.
        ASSERT_GE(rest.size(), 3u) << describe(rest);
        const int archive = rest[0].archive;
        EXPECT_EQ(rest[0].describe(), "freeBuffer#" + std::to_string(archive));
        EXPECT_EQ(rest[1].describe(), "closePipeline#" + std::to_string(archive));
        EXPECT_EQ(rest[2].describe(), "delete ZebArchive#" + std::to_string(archive));
        break;
    }
    case Op::OpenArchiveFile:
    case Op::CloseArchiveFileAndReleaseVolume:
        EXPECT_TRUE(rest.empty()) << describe(rest);
        break;
    case Op::ReadBuffer:
        if (fault.context == 242 || fault.context == 268) {
            EXPECT_TRUE(rest.empty()) << describe(rest);
        } else {
            nothingOn(call.archive);  // closePipeline() goes on with the others
        }
        break;
    case Op::SendXDRMessage:
        if (code == FSR_MSG_READ_ALL) {
            // Only the close of that stream's archive file follows.
            for (const Call& c : rest) {
                EXPECT_NE(c.op, Op::OpenArchiveFile) << describe(rest);
                if (c.op == Op::SendXDRMessage) {
                    EXPECT_EQ(c.message->code, FSR_MSG_CLOSE_ARCHIVE) << describe(rest);
                    EXPECT_EQ(c.session, call.session);
                }
            }
            ASSERT_FALSE(rest.empty());
            EXPECT_EQ(rest[0].op, Op::GetArchiveFileId);
        } else if (code == FSR_MSG_RESTORE_END) {
            ASSERT_FALSE(rest.empty());
            EXPECT_EQ(rest[0].op, Op::ArchiveDeleted) << describe(rest);
        } else if (code == FSR_MSG_CLOSE_ARCHIVE && fault.context != 210) {
            nothingOn(fake.calls(Op::GetArchiveFileId).empty() ? 0 : [&] {
                // The object whose file id was read for this close.
                for (long long s = call.seq - 1; s >= w.first; --s) {
                    const Call& c = fake.allCalls()[s - 1];
                    if (c.op == Op::GetArchiveFileId) return c.archive;
                }
                return 0;
            }());
        } else {
            EXPECT_TRUE(rest.empty()) << describe(rest);
        }
        break;
    case Op::GetNumber:
        for (const Call& c : rest) EXPECT_NE(c.op, Op::Sleep) << describe(rest);
        break;
    default:
        break;
    }
}

// Checks every operation of a finished run.
void checkRun(const FakePlatform& fake, const FaultRun& run) {
    for (const Window& w : run.windows()) {
        SCOPED_TRACE("operation " + w.name);
        if (run.mode() == Mode::Throw || run.mode() == Mode::Alloc) {
            const bool faulted =
                run.mode() == Mode::Throw ? !w.faults.empty() : false;
            if (faulted) {
                EXPECT_TRUE(w.threw) << "the injected exception did not pass through";
            }
            if (w.threw) {
                // Nothing but the release of objects made on the way.
                const long long from = run.mode() == Mode::Throw ? w.faults.back().call.seq
                                                                 : g_alloc.seqAtFailure;
                for (const Call& c : after(fake, w, from)) {
                    EXPECT_EQ(c.op, Op::ArchiveDeleted) << c.describe();
                }
            }
            continue;
        }
        EXPECT_FALSE(w.threw);
        if (w.faults.empty() || !w.result) continue;
        bool deciding = false;
        for (const Fault& fault : w.faults) deciding = deciding || decidesResult(fault, run.mode());
        EXPECT_EQ(*w.result, !deciding);
        checkFollowing(fake, w, w.faults.front(), run.mode());
    }
}

// --- Consistency of the objects

// Every closeAfile and invalidation carried the identity that
// createArchiveFile wrote for the same archive object.
void checkBackupPairing(const FakePlatform& fake) {
    const auto& calls = fake.allCalls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        if (call.op == Op::CloseAfile && call.closeAfileArgs) {
            const auto created = fake.facts(call.archive).created;
            ASSERT_TRUE(created.has_value()) << call.describe();
            EXPECT_EQ(call.closeAfileArgs->trellanId, created->trellanId) << call.describe();
            EXPECT_EQ(call.closeAfileArgs->groupNumber, created->groupNumber) << call.describe();
            EXPECT_EQ(call.closeAfileArgs->afileId, created->afileId) << call.describe();
        }
        if (call.op == Op::InvalidateArchFilesByJob && !call.threw) {
            for (std::size_t j = i + 1; j < calls.size(); ++j) {
                if (calls[j].op != Op::FreeBuffer) continue;
                const auto created = fake.facts(calls[j].archive).created;
                ASSERT_TRUE(created.has_value());
                EXPECT_EQ(call.invalidateArgs->trellanId, created->trellanId);
                ASSERT_EQ(call.invalidateArgs->afileIds.size(), 1u);
                EXPECT_EQ(call.invalidateArgs->afileIds[0], created->afileId);
                break;
            }
        }
    }
}

// The map's keys are stream numbers 1..65 and each entry is its slot: the
// archive object made for that stream's slot, with the session head of the
// object's latest open.
void checkRestoreMap(const FakePlatform& fake, RestorePipelineSetup& job) {
    for (const auto& [stream, info] : job.getStreamPipeinfoMap()) {
        ASSERT_GE(stream, 1u);
        ASSERT_LE(stream, RestorePipelineSetup::kMaxStreams);
        const int archive = fake.archiveNumber(info.archive);
        ASSERT_NE(archive, 0) << "stream " << stream << " refers to a deleted archive object";
        const auto facts = fake.facts(archive);
        EXPECT_EQ(facts.objectParam, static_cast<long long>(stream));
        ASSERT_NE(info.sessionHead, nullptr);
        EXPECT_EQ(fake.sessionNumber(info.sessionHead), facts.lastSession) << "stream " << stream;
    }
}

// --- Scenarios

RestoreArchiveInfo entry(unsigned long stream, uint64_t fileBase, bool readAll) {
    RestoreArchiveInfo info;
    info.subclientId = 50 + stream;
    info.trellanId = 2;
    info.archiveOpenParam = 60 + stream;
    info.archiveObjectParam = static_cast<long long>(stream);  // names the slot
    info.afileId = fileBase + stream;
    info.groupNumber = 7 + stream;
    info.seekOffset = 1000 * stream;
    info.readAll = readAll;
    return info;
}

std::vector<RestoreArchiveInfo> list(unsigned long count, uint64_t fileBase = 100,
                                     bool readAll = true) {
    std::vector<RestoreArchiveInfo> files;
    for (unsigned long stream = 1; stream <= count; ++stream) {
        files.push_back(entry(stream, fileBase, readAll));
    }
    return files;
}

using BackupSteps = std::function<void(FaultRun&, std::unique_ptr<BackupPipelineSetup>&)>;
using RestoreSteps = std::function<void(FaultRun&, std::unique_ptr<RestorePipelineSetup>&)>;

// Runs steps with each fault point and mode; returns the runs made.
template <typename Job, typename Steps, typename Check, typename Cleanup>
long long sweep(const std::string& scenario, const Steps& steps, const Check& check,
                const Cleanup& cleanup) {
    long long runs = 0;
    for (Mode mode : kModes) {
        for (long long n = 1;; ++n) {
            SCOPED_TRACE(scenario + ", " + modeName(mode) + " at " + std::to_string(n));
            FakePlatform fake;
            bool reached = false;
            {
                auto job = std::make_unique<Job>();
                FaultRun run(fake, mode, n);
                steps(run, job, fake);
                reached = run.reachedFault();
                checkRun(fake, run);
                run.disarm();
                if (job) {
                    check(fake, *job);
                    cleanup(run, fake, job);
                }
                if (!reached) {
                    // The run without a fault: every operation succeeds.
                    for (const Window& w : run.windows()) {
                        EXPECT_TRUE(w.result.value_or(true)) << w.name << " failed unfaulted";
                    }
                }
                job.reset();
                EXPECT_EQ(fake.liveArchives(), 0);
                EXPECT_EQ(fake.archivesDeleted(), fake.archivesMade());
            }
            if (::testing::Test::HasFailure()) return runs;  // one report is enough
            if (!reached) break;
            ++runs;
        }
    }
    g_runs += runs;
    g_runsPerScenario[scenario] = runs;
    return runs;
}

void backupSweep(const std::string& scenario,
                 const std::function<void(FaultRun&, BackupPipelineSetup*&, FakePlatform&)>& steps) {
    const auto run = [&](FaultRun& r, std::unique_ptr<BackupPipelineSetup>& job, FakePlatform& fake) {
        BackupPipelineSetup* raw = job.get();
        steps(r, raw, fake);
        if (!raw) job.release();  // destroyed by the steps
    };
    const auto check = [](FakePlatform&, BackupPipelineSetup&) {};
    // Every stream that is not held can be set up again, and then all close
    // cleanly, each with its own file: a stream left in one map only would
    // show here.
    const auto cleanup = [](FaultRun&, FakePlatform& fake, std::unique_ptr<BackupPipelineSetup>& job) {
        for (int stream = 1; stream <= 4; ++stream) {
            unsigned long long offset = 0;
            if (!job->getArchiveFileOffset(stream, offset)) {
                EXPECT_TRUE(job->AddStreamToPipeline(stream, "again")) << "stream " << stream;
            }
        }
        EXPECT_TRUE(job->closePipeline(1, false));
        checkBackupPairing(fake);
    };
    sweep<BackupPipelineSetup>(scenario, run, check, cleanup);
}

void restoreSweep(const std::string& scenario,
                  const std::function<void(FaultRun&, RestorePipelineSetup*&, FakePlatform&)>& steps) {
    const auto run = [&](FaultRun& r, std::unique_ptr<RestorePipelineSetup>& job, FakePlatform& fake) {
        RestorePipelineSetup* raw = job.get();
        steps(r, raw, fake);
        if (!raw) job.release();
    };
    const auto check = [](FakePlatform& fake, RestorePipelineSetup& job) {
        checkRestoreMap(fake, job);
    };
    // Whatever is still open closes and shuts down cleanly.
    const auto cleanup = [](FaultRun&, FakePlatform&, std::unique_ptr<RestorePipelineSetup>& job) {
        // Stream by stream: when reopening each request, closePipeline()
        // keeps keys above the map's size, which a throw can leave.
        for (const auto& [stream, info] : job->getStreamPipeinfoMap()) {
            EXPECT_TRUE(job->closePipeline(stream)) << "stream " << stream;
        }
        EXPECT_TRUE(job->getStreamPipeinfoMap().empty());
        EXPECT_TRUE(job->shutDownPipeline());
    };
    sweep<RestorePipelineSetup>(scenario, run, check, cleanup);
}

// Destroys the job as one of the scenario's operations.
template <typename Job>
void destroy(FaultRun& run, Job*& job) {
    run.act("destroy", [&] { delete job; });
    job = nullptr;
}

TEST(FaultSweep, BackupAllStreamsClose) {
    backupSweep("backup, all-streams close", [](FaultRun& run, BackupPipelineSetup*& job,
                                                FakePlatform&) {
        if (!run.op("setupPipeline", [&] { return job->setupPipeline(81, 2, 3, "create"); }))
            return;
        for (unsigned long stream = 1; stream <= 3; ++stream) {
            unsigned long long offset = 0;
            if (!run.op("getArchiveFileOffset",
                        [&] { return job->getArchiveFileOffset(stream, offset); }))
                return;
        }
        if (!run.op("closePipeline(all)", [&] { return job->closePipeline(1, false); })) return;
        destroy(run, job);
    });
}

TEST(FaultSweep, BackupInvalidation) {
    backupSweep("backup, invalidation", [](FaultRun& run, BackupPipelineSetup*& job, FakePlatform&) {
        if (!run.op("setupPipeline", [&] { return job->setupPipeline(0, 1, 3, "create"); }))
            return;
        if (!run.op("closePipeline(all, invalidate)", [&] { return job->closePipeline(0, false); }))
            return;
        destroy(run, job);
    });
}

TEST(FaultSweep, BackupSingleStreamCloses) {
    backupSweep("backup, single-stream closes", [](FaultRun& run, BackupPipelineSetup*& job,
                                                   FakePlatform&) {
        if (!run.op("setupPipeline", [&] { return job->setupPipeline(0, 4, 3, "create"); }))
            return;
        if (!run.op("closePipeline(2)", [&] { return job->closePipeline(2, 1, true); })) return;
        if (!run.op("closePipeline(1, invalidate)", [&] { return job->closePipeline(1, 0, false); }))
            return;
        if (!run.op("closePipeline(all)", [&] { return job->closePipeline(5, false); })) return;
        destroy(run, job);
    });
}

TEST(FaultSweep, BackupDestroyedWithStreamsHeld) {
    backupSweep("backup, destroyed holding streams", [](FaultRun& run, BackupPipelineSetup*& job,
                                                        FakePlatform&) {
        if (!run.op("setupPipeline", [&] { return job->setupPipeline(0, 1, 2, "create"); }))
            return;
        destroy(run, job);
    });
}

bool setList(FaultRun& run, RestorePipelineSetup* job, std::vector<RestoreArchiveInfo> files) {
    return run.act("setRestoreArchiveFileInfoList",
                   [&] { job->setRestoreArchiveFileInfoList(std::move(files)); });
}

bool getMap(FaultRun& run, RestorePipelineSetup* job) {
    return run.act("getStreamPipeinfoMap", [&] { (void)job->getStreamPipeinfoMap(); });
}

TEST(FaultSweep, RestoreFirstRequestWithReadAll) {
    restoreSweep("restore, first request with read-all", [](FaultRun& run, RestorePipelineSetup*& job,
                                                            FakePlatform&) {
        if (!setList(run, job, list(3))) return;
        if (!run.op("setupPipeline", [&] { return job->setupPipeline(); })) return;
        if (!getMap(run, job)) return;
        if (!run.op("closePipeline()", [&] { return job->closePipeline(); })) return;
        if (!run.op("shutDownPipeline", [&] { return job->shutDownPipeline(); })) return;
        destroy(run, job);
    });
}

TEST(FaultSweep, RestoreFirstRequestSingleFilesWithDelay) {
    restoreSweep("restore, no read-all, delay setting", [](FaultRun& run, RestorePipelineSetup*& job,
                                                           FakePlatform& fake) {
        fake.setSetting("MSSQLAgent", "DelayPipelineSetup", 1);
        if (!setList(run, job, list(3, 100, false))) return;
        if (!run.op("setupPipeline", [&] { return job->setupPipeline(); })) return;
        if (!run.op("closeArchFiles", [&] { return job->closeArchFiles(); })) return;
        if (!run.op("shutDownPipeline", [&] { return job->shutDownPipeline(); })) return;
        destroy(run, job);
    });
}

TEST(FaultSweep, RestoreRepeatedAndChangedRequests) {
    restoreSweep("restore, repeated and changed requests", [](FaultRun& run,
                                                              RestorePipelineSetup*& job,
                                                              FakePlatform&) {
        if (!setList(run, job, list(3))) return;
        if (!run.op("setupPipeline 1", [&] { return job->setupPipeline(); })) return;
        auto again = list(3);
        for (auto& e : again) e.seekOffset += 7;
        if (!setList(run, job, again)) return;
        if (!run.op("setupPipeline 2 (same files)", [&] { return job->setupPipeline(); })) return;
        if (!setList(run, job, list(4, 200))) return;
        if (!run.op("setupPipeline 3 (other files)", [&] { return job->setupPipeline(); })) return;
        if (!setList(run, job, list(2, 200))) return;
        if (!run.op("setupPipeline 4 (fewer files)", [&] { return job->setupPipeline(); })) return;
        if (!run.op("closePipeline(2)", [&] { return job->closePipeline(2); })) return;
        if (!run.op("closePipeline()", [&] { return job->closePipeline(); })) return;
        if (!run.op("shutDownPipeline", [&] { return job->shutDownPipeline(); })) return;
        destroy(run, job);
    });
}

TEST(FaultSweep, RestoreReopeningEachRequest) {
    restoreSweep("restore, reopen each request", [](FaultRun& run, RestorePipelineSetup*& job,
                                                    FakePlatform&) {
        job->setReopenEachRequest(true);
        if (!setList(run, job, list(2))) return;
        if (!run.op("setupPipeline 1", [&] { return job->setupPipeline(); })) return;
        if (!run.op("setupPipeline 2", [&] { return job->setupPipeline(); })) return;
        if (!run.op("closeArchFiles", [&] { return job->closeArchFiles(); })) return;
        if (!run.op("closePipeline()", [&] { return job->closePipeline(); })) return;
        if (!run.op("shutDownPipeline", [&] { return job->shutDownPipeline(); })) return;
        destroy(run, job);
    });
}

TEST(FaultSweep, RestoreEveryClose) {
    restoreSweep("restore, every close", [](FaultRun& run, RestorePipelineSetup*& job,
                                            FakePlatform&) {
        if (!setList(run, job, list(3))) return;
        if (!run.op("setupPipeline 1", [&] { return job->setupPipeline(); })) return;
        PipelineInfo first;
        if (!run.act("getStreamPipeinfoMap", [&] {
                const auto map = job->getStreamPipeinfoMap();
                if (map.count(1)) first = map.at(1);
            }))
            return;
        if (first.archive == nullptr) return;  // stream 1 did not open
        if (!run.op("closeArchFile(1)", [&] { return job->closeArchFile(1, first); })) return;
        if (!run.op("closePipeline(3)", [&] { return job->closePipeline(3); })) return;
        if (!run.op("closeArchFiles", [&] { return job->closeArchFiles(); })) return;
        if (!run.op("setupPipeline 2", [&] { return job->setupPipeline(); })) return;
        if (!run.op("closePipeline()", [&] { return job->closePipeline(); })) return;
        if (!run.op("shutDownPipeline", [&] { return job->shutDownPipeline(); })) return;
        destroy(run, job);
    });
}

TEST(FaultSweep, RestoreShutdownWithStreamsOpen) {
    restoreSweep("restore, shutdown with streams open", [](FaultRun& run,
                                                           RestorePipelineSetup*& job,
                                                           FakePlatform&) {
        if (!setList(run, job, list(3))) return;
        if (!run.op("setupPipeline", [&] { return job->setupPipeline(); })) return;
        if (!run.op("shutDownPipeline", [&] { return job->shutDownPipeline(); })) return;
        if (!getMap(run, job)) return;
        destroy(run, job);
    });
}

TEST(FaultSweep, RestoreDestroyedWithoutShutdown) {
    restoreSweep("restore, destroyed without shutdown", [](FaultRun& run, RestorePipelineSetup*& job,
                                                           FakePlatform&) {
        if (!setList(run, job, list(2))) return;
        if (!run.op("setupPipeline", [&] { return job->setupPipeline(); })) return;
        destroy(run, job);
    });
}

class Summary : public ::testing::Environment {
public:
    void TearDown() override {
        std::printf("fault sweep: %lld runs over %zu scenarios x fault points x %zu modes\n",
                    g_runs, g_runsPerScenario.size(), std::size(kModes));
        for (const auto& [scenario, runs] : g_runsPerScenario) {
            std::printf("  %-42s %lld runs\n", scenario.c_str(), runs);
        }
    }
};

const auto* const g_summary = ::testing::AddGlobalTestEnvironment(new Summary);

}  // namespace
