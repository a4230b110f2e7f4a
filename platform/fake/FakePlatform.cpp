#include "platform/fake/FakePlatform.h"

#include <cstdio>
#include <cstdlib>

#include "platform/fake/FakeState.h"

namespace fakeplatform {

namespace {

// The live fake, which every platform call reaches; null when none lives.
FakePlatform::State* g_current = nullptr;

bool matches(const Match& match, const Call& call, int nth) {
    const unsigned long code = call.message ? call.message->code : 0;
    return (match.archive == 0 || match.archive == call.archive) &&
           (match.session == 0 || match.session == call.session) &&
           (match.nth == 0 || match.nth == nth) && (match.code == 0 || match.code == code);
}

// The operations whose int result setResult scripts.
bool hasIntResult(Op op) {
    switch (op) {
    case Op::ArchiveMade:
    case Op::ArchiveDeleted:
    case Op::SendXDRMessage:
    case Op::GetJobId:
    case Op::GetPhysicalMachine:
    case Op::Sleep:
        return false;
    default:
        return true;
    }
}

}  // namespace

FakePlatform::State& currentState(const char* call) {
    if (!g_current) {
        std::fprintf(stderr, "fake platform: %s called with no FakePlatform alive\n", call);
        std::abort();
    }
    return *g_current;
}

void fail(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::abort();
}

const char* opName(Op op) {
    switch (op) {
    case Op::ArchiveMade: return "ZebArchive";
    case Op::ArchiveDeleted: return "~ZebArchive";
    case Op::SetupPipeline: return "setupPipeline";
    case Op::CreateArchiveFile: return "createArchiveFile";
    case Op::GetCurrentArchiveFileOffset: return "GetCurrentArchiveFileOffset";
    case Op::CloseAfile: return "closeAfile";
    case Op::SetRestartContext: return "SetRestartContext";
    case Op::FreeBuffer: return "freeBuffer";
    case Op::ClosePipeline: return "closePipeline";
    case Op::OpenArchiveFile: return "openArchiveFile";
    case Op::GetArchiveFileId: return "GetArchiveFileId";
    case Op::CloseArchiveFileAndReleaseVolume: return "CloseArchiveFileAndReleaseVolume";
    case Op::ReadBuffer: return "readBuffer";
    case Op::SendXDRMessage: return "SendXDRMessage";
    case Op::InvalidateArchFilesByJob: return "invalidateArchFilesByJob";
    case Op::GetJobId: return "getJobId";
    case Op::GetNumber: return "getNumber";
    case Op::GetPhysicalMachine: return "getPhysicalMachine";
    case Op::Sleep: return "QISLEEP_InTeRnAl";
    }
    return "unknown";
}

std::string Call::describe() const {
    switch (op) {
    case Op::ArchiveMade:
        return "new ZebArchive#" + std::to_string(archive);
    case Op::ArchiveDeleted:
        return "delete ZebArchive#" + std::to_string(archive);
    case Op::SendXDRMessage: {
        char line[64];
        std::snprintf(line, sizeof line, "send 0x%08lx session#%d",
                      message ? message->code : 0UL, session);
        return line;
    }
    case Op::Sleep:
        return "sleep " + std::to_string(value);
    case Op::GetNumber:
        return "getNumber " + text.value_or("") + "/" + key;
    case Op::InvalidateArchFilesByJob:
    case Op::GetJobId:
    case Op::GetPhysicalMachine:
        return opName(op);
    default:
        return std::string(opName(op)) + "#" + std::to_string(archive);
    }
}

// --- State

Call FakePlatform::State::callOn(Op op, const ZebArchive* archive) const {
    for (const auto& [number, object] : live) {
        if (object == archive) {
            Call call;
            call.op = op;
            call.archive = number;
            return call;
        }
    }
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(archive));
    fail(std::string("fake platform: ") + opName(op) + " on ZebArchive " + address +
         ", which is not alive");
}

std::optional<int> FakePlatform::State::scriptedResult(const Call& call) {
    const int nth = ++callCounts[call.op];
    for (auto rule = resultRules.rbegin(); rule != resultRules.rend(); ++rule) {
        if (rule->op == call.op && matches(rule->match, call, nth)) return rule->result;
    }
    return std::nullopt;
}

CQiError FakePlatform::State::sendResult(const Call& call) {
    const int nth = ++callCounts[call.op];
    for (auto rule = sendRules.rbegin(); rule != sendRules.rend(); ++rule) {
        if (matches(rule->match, call, nth)) return rule->result;
    }
    return CQiError();
}

ArchiveScript& FakePlatform::State::script(int archive) {
    if (archive < 1) fail("fake platform: archive objects are numbered from 1");
    return scripts[archive];
}

CZebNetwork* FakePlatform::State::newSession() {
    auto* impl = new CZebNetwork::Impl;
    impl->number = static_cast<int>(sessions.size()) + 1;
    sessions.push_back(std::make_unique<CZebNetwork>(impl));
    return sessions.back().get();
}

const unsigned long* FakePlatform::State::setting(const std::string& section,
                                                  const std::string& key) const {
    const auto found = settings.find({section, key});
    return found == settings.end() ? nullptr : &found->second;
}

// --- FakePlatform

FakePlatform::FakePlatform() : m_state(nullptr) {
    if (g_current) fail("fake platform: a second FakePlatform was made while one is alive");
    m_state = new State;
    g_current = m_state;
}

FakePlatform::~FakePlatform() {
    // Objects left alive are not deleted here: the caller owns them, and a
    // later delete of one aborts like any platform call without a fake.
    if (!m_state->live.empty()) {
        std::fprintf(stderr, "fake platform: %zu ZebArchive object(s) still alive at the end\n",
                     m_state->live.size());
    }
    g_current = nullptr;
    delete m_state;
}

void FakePlatform::setResult(Op op, int result, Match match) {
    if (!hasIntResult(op)) {
        fail(std::string("fake platform: setResult: ") + opName(op) +
             " has no int result to script");
    }
    m_state->resultRules.push_back({op, result, match});
}

void FakePlatform::setSendResult(CQiError result, Match match) {
    m_state->sendRules.push_back({result, match});
}

void FakePlatform::setCreateRet(int archive, const CreateRet_t& ret) {
    m_state->script(archive).createRet = ret;
}

void FakePlatform::setOffset(int archive, unsigned long long offset) {
    m_state->script(archive).offset = offset;
}

void FakePlatform::setCopyNumber(int archive, unsigned long long copy) {
    m_state->script(archive).copy = copy;
}

void FakePlatform::setArchiveFileId(int archive, const ArchiveFileId_t& id) {
    m_state->script(archive).fileId = id;
}

void FakePlatform::queueMessages(int archive, const std::vector<int>& types) {
    auto& messages = m_state->script(archive).messages;
    messages.insert(messages.end(), types.begin(), types.end());
}

void FakePlatform::setJobId(unsigned long long jobId) { m_state->jobId = jobId; }

void FakePlatform::setSetting(const std::string& section, const std::string& key,
                              unsigned long value) {
    m_state->settings[{section, key}] = value;
}

void FakePlatform::removeSetting(const std::string& section, const std::string& key) {
    m_state->settings.erase({section, key});
}

void FakePlatform::setPhysicalMachine(const std::string& name) {
    m_state->physicalMachine = name;
}

const std::vector<Call>& FakePlatform::journal() const { return m_state->journal; }

std::vector<Call> FakePlatform::calls(Op op) const {
    std::vector<Call> found;
    for (const Call& call : m_state->journal) {
        if (call.op == op) found.push_back(call);
    }
    return found;
}

std::vector<std::string> FakePlatform::trace() const {
    std::vector<std::string> lines;
    for (const Call& call : m_state->journal) lines.push_back(call.describe());
    return lines;
}

const std::vector<LogLine>& FakePlatform::logs() const { return m_state->logs; }

void FakePlatform::clearJournal() {
    m_state->journal.clear();
    m_state->logs.clear();
}

int FakePlatform::archivesMade() const { return m_state->archivesMade; }

int FakePlatform::archivesDeleted() const { return m_state->archivesDeleted; }

int FakePlatform::liveArchives() const { return static_cast<int>(m_state->live.size()); }

ZebArchive* FakePlatform::archive(int n) const {
    const auto found = m_state->live.find(n);
    return found == m_state->live.end() ? nullptr : found->second;
}

CZebNetwork* FakePlatform::session(int n) const {
    const auto& sessions = m_state->sessions;
    return n >= 1 && n <= static_cast<int>(sessions.size()) ? sessions[n - 1].get() : nullptr;
}

int FakePlatform::archiveNumber(const ZebArchive* archive) const {
    for (const auto& [number, object] : m_state->live) {
        if (object == archive) return number;
    }
    return 0;
}

int FakePlatform::sessionNumber(const CZebNetwork* session) const {
    const auto& sessions = m_state->sessions;
    for (size_t i = 0; i < sessions.size(); ++i) {
        if (sessions[i].get() == session) return static_cast<int>(i) + 1;
    }
    return 0;
}

}  // namespace fakeplatform
