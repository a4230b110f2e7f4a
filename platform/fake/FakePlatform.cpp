#include "platform/fake/FakePlatform.h"

#include <cstdio>
#include <cstdlib>

#include "platform/fake/FakeState.h"

namespace fakeplatform {

namespace {

// The live fake, which every platform call reaches; null when none lives.
FakePlatform::State* g_current = nullptr;

thread_local int t_platformDepth = 0;

bool matches(const std::optional<Op>& op, const Match& match, const Call& call) {
    const unsigned long code = call.message ? call.message->code : 0;
    return (!op || *op == call.op) && (match.archive == 0 || match.archive == call.archive) &&
           (match.session == 0 || match.session == call.session) &&
           (match.code == 0 || match.code == code) && (match.seq == 0 || match.seq == call.seq);
}

bool inRange(const Match& match, int selected) {
    if (match.nth == 0) return true;
    if (selected < match.nth) return false;
    return match.times == Match::kOnward || selected < match.nth + match.times;
}

// The operations whose int result setResult scripts.
bool hasIntResult(Op op) {
    switch (op) {
    case Op::SetupPipeline:
    case Op::CreateArchiveFile:
    case Op::GetCurrentArchiveFileOffset:
    case Op::CloseAfile:
    case Op::SetRestartContext:
    case Op::FreeBuffer:
    case Op::ClosePipeline:
    case Op::OpenArchiveFile:
    case Op::GetArchiveFileId:
    case Op::CloseArchiveFileAndReleaseVolume:
    case Op::ReadBuffer:
    case Op::InvalidateArchFilesByJob:
    case Op::GetNumber:
        return true;
    default:
        return false;
    }
}

}  // namespace

bool insidePlatformCall() { return t_platformDepth > 0; }

PlatformScope::PlatformScope() { ++t_platformDepth; }

PlatformScope::~PlatformScope() { --t_platformDepth; }

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
    case Op::EventMade: return "EvEvent";
    case Op::EventGone: return "~EvEvent";
    case Op::Log: return "log";
    case Op::PlatformInfoMade: return "ZebPlatformInfo";
    case Op::PlatformInfoGone: return "~ZebPlatformInfo";
    case Op::ClientMade: return "ArMgrClientAPI";
    case Op::ClientGone: return "~ArMgrClientAPI";
    case Op::BufferMade: return "zebsDatabuf_v2";
    case Op::BufferGone: return "~zebsDatabuf_v2";
    case Op::SetExternalBuffer: return "setExternalBuffer";
    }
    return "unknown";
}

bool canThrow(Op op) {
    switch (op) {
    case Op::ArchiveDeleted:
    case Op::EventGone:
    case Op::PlatformInfoGone:
    case Op::ClientGone:
    case Op::BufferGone:
        return false;
    default:
        return true;
    }
}

bool inJournal(Op op) {
    switch (op) {
    case Op::EventMade:
    case Op::EventGone:
    case Op::Log:
    case Op::PlatformInfoMade:
    case Op::PlatformInfoGone:
    case Op::ClientMade:
    case Op::ClientGone:
    case Op::BufferMade:
    case Op::BufferGone:
    case Op::SetExternalBuffer:
        return false;
    default:
        return true;
    }
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
        return "sleep " + std::to_string(pauseMs);
    case Op::GetNumber:
        return "getNumber " + section.value_or("") + "/" + key;
    case Op::Log:
        return "log " + (log ? log->method : std::string());
    case Op::InvalidateArchFilesByJob:
    case Op::GetJobId:
    case Op::GetPhysicalMachine:
    case Op::EventMade:
    case Op::EventGone:
    case Op::PlatformInfoMade:
    case Op::PlatformInfoGone:
    case Op::ClientMade:
    case Op::ClientGone:
    case Op::BufferMade:
    case Op::BufferGone:
    case Op::SetExternalBuffer:
        return opName(op);
    default:
        return std::string(opName(op)) + "#" + std::to_string(archive);
    }
}

// --- Action

Action Action::returns(int result) {
    Action action;
    action.m_result = result;
    return action;
}

Action Action::returns(CQiError result) {
    Action action;
    action.m_sendResult = std::move(result);
    return action;
}

Action Action::nullSessionHead() {
    Action action;
    action.m_nullSessionHead = true;
    return action;
}

Action Action::run(std::function<Action(const Call&)> decide) {
    Action action;
    action.m_decide = std::move(decide);
    return action;
}

// --- State

Call FakePlatform::State::callOn(Op op, const ZebArchive* archive) const {
    const auto found = liveNumbers.find(archive);
    if (found != liveNumbers.end()) {
        Call call;
        call.op = op;
        call.archive = found->second;
        return call;
    }
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(archive));
    fail(std::string("fake platform: ") + opName(op) + " on ZebArchive " + address +
         ", which is not alive");
}

Verdict FakePlatform::State::enter(Call& call) {
    call.seq = ++seq;
    const bool throwable = canThrow(call.op);
    // Every rule counts the calls it selects, whether or not it decides them;
    // the last one that selects the call decides. A rule that throws never
    // selects a destructor. Later rules may be added by a deciding callback,
    // so the rules are walked by index.
    int decider = -1;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        Rule& rule = rules[i];
        if (!matches(rule.op, rule.match, call)) continue;
        if (rule.action.m_thrower && !throwable) continue;
        if (inRange(rule.match, ++rule.selected)) decider = static_cast<int>(i);
    }
    if (decider < 0) return Verdict();

    Action decided;
    const Action* action = &rules[decider].action;
    if (action->m_decide) {
        // A copy: the callback may add rules, which moves the vector.
        const std::function<Action(const Call&)> decide = action->m_decide;
        try {
            decided = decide(call);
        } catch (...) {
            call.threw = true;
            record(Call(call));
            throw;
        }
        action = &decided;
    }
    if (action->m_thrower && throwable) {
        call.threw = true;
        record(Call(call));
        // A copy, in case the thrower goes with its rule.
        const std::function<void()> thrower = action->m_thrower;
        thrower();
    }
    Verdict verdict;
    verdict.result = action->m_result;
    verdict.sendResult = action->m_sendResult;
    verdict.nullSessionHead = action->m_nullSessionHead;
    return verdict;
}

void FakePlatform::State::record(Call&& call) {
    ++counts[static_cast<std::size_t>(call.op)];
    if (journaling()) calls.push_back(std::move(call));
}

CQiError FakePlatform::State::sendResult(const Verdict& verdict) {
    if (verdict.sendResult) return *verdict.sendResult;
    if (verdict.result) {
        const int code = *verdict.result;
        if (code < 0) return CQiError(code, "injected fault " + std::to_string(code));
        return CQiError(code, std::string());
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

void FakePlatform::State::problem(const std::string& message) {
    if (problemHandler) {
        problemHandler(message);
        return;
    }
    fail(message);
}

// --- FakePlatform

FakePlatform::FakePlatform() : FakePlatform(Recording::Journal) {}

FakePlatform::FakePlatform(Recording recording) : m_state(nullptr) {
    if (g_current) fail("fake platform: a second FakePlatform was made while one is alive");
    m_state = new State;
    m_state->recording = recording;
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

void FakePlatform::restart() {
    if (!m_state->live.empty()) {
        fail("fake platform: restart with " + std::to_string(m_state->live.size()) +
             " ZebArchive object(s) alive");
    }
    auto handler = std::move(m_state->problemHandler);
    const Recording recording = m_state->recording;
    delete m_state;
    m_state = new State;
    m_state->problemHandler = std::move(handler);
    m_state->recording = recording;
    g_current = m_state;
}

Recording FakePlatform::recording() const { return m_state->recording; }

void FakePlatform::inject(std::optional<Op> op, Match selects, Action action) {
    m_state->rules.push_back({op, selects, std::move(action), 0});
}

void FakePlatform::setResult(Op op, int result, Match match) {
    if (!hasIntResult(op)) {
        fail(std::string("fake platform: setResult: ") + opName(op) +
             " has no int result to script");
    }
    inject(op, match, Action::returns(result));
}

void FakePlatform::setSendResult(CQiError result, Match match) {
    inject(Op::SendXDRMessage, match, Action::returns(std::move(result)));
}

void FakePlatform::clearRules() { m_state->rules.clear(); }

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

void FakePlatform::allowEmptyReads(bool allow) { m_state->allowEmptyReads = allow; }

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

void FakePlatform::setProblemHandler(std::function<void(const std::string&)> handler) {
    m_state->problemHandler = std::move(handler);
}

const std::vector<Call>& FakePlatform::allCalls() const { return m_state->calls; }

std::vector<Call> FakePlatform::journal() const {
    std::vector<Call> found;
    for (const Call& call : m_state->calls) {
        if (inJournal(call.op)) found.push_back(call);
    }
    return found;
}

std::vector<Call> FakePlatform::calls(Op op) const {
    std::vector<Call> found;
    for (const Call& call : m_state->calls) {
        if (call.op == op) found.push_back(call);
    }
    return found;
}

std::vector<std::string> FakePlatform::trace() const {
    std::vector<std::string> lines;
    for (const Call& call : m_state->calls) {
        if (inJournal(call.op)) lines.push_back(call.describe());
    }
    return lines;
}

const std::vector<LogLine>& FakePlatform::logs() const { return m_state->logs; }

void FakePlatform::clearJournal() {
    m_state->calls.clear();
    m_state->logs.clear();
}

long long FakePlatform::callCount() const { return m_state->seq; }

long long FakePlatform::count(Op op) const { return m_state->counts[static_cast<std::size_t>(op)]; }

int FakePlatform::archivesMade() const { return m_state->archivesMade; }

int FakePlatform::archivesDeleted() const { return m_state->archivesDeleted; }

int FakePlatform::liveArchives() const { return static_cast<int>(m_state->live.size()); }

ArchiveFacts FakePlatform::facts(int archive) const {
    const auto found = m_state->scripts.find(archive);
    return found == m_state->scripts.end() ? ArchiveFacts() : found->second.facts;
}

ZebArchive* FakePlatform::archive(int n) const {
    const auto found = m_state->live.find(n);
    return found == m_state->live.end() ? nullptr : found->second;
}

CZebNetwork* FakePlatform::session(int n) const {
    const auto& sessions = m_state->sessions;
    return n >= 1 && n <= static_cast<int>(sessions.size()) ? sessions[n - 1].get() : nullptr;
}

int FakePlatform::archiveNumber(const ZebArchive* archive) const {
    const auto found = m_state->liveNumbers.find(archive);
    return found == m_state->liveNumbers.end() ? 0 : found->second;
}

int FakePlatform::sessionNumber(const CZebNetwork* session) const {
    const auto& sessions = m_state->sessions;
    for (size_t i = 0; i < sessions.size(); ++i) {
        if (sessions[i].get() == session) return static_cast<int>(i) + 1;
    }
    return 0;
}

}  // namespace fakeplatform
