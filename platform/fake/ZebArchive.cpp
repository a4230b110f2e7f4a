// The fake archive library. Every object is numbered in order of construction
// and known to the fake by address; its state lives in the fake, so m_impl
// stays null and a call on a deleted object is caught without reading it.

#include "platform/ZebArchive.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/fake/FakeState.h"

using fakeplatform::ArchiveScript;
using fakeplatform::Call;
using fakeplatform::copyOf;
using fakeplatform::currentState;
using fakeplatform::Op;
using fakeplatform::opName;
using fakeplatform::PlatformScope;
using fakeplatform::Verdict;
using State = fakeplatform::FakePlatform::State;

namespace {

// What createArchiveFile writes for object n unless a test scripted it.
CreateRet_t defaultCreateRet(int archive) {
    CreateRet_t ret;
    for (int i = 0; i < 8; ++i) ret.leading[i] = static_cast<unsigned char>(0xA0 + i);
    ret.trellanId = 1000 + archive;
    ret.groupNumber = 2000 + archive;
    ret.afileId = 3000 + archive;
    for (int i = 0; i < 12; ++i) ret.trailing[i] = static_cast<unsigned char>(0xB0 + i);
    return ret;
}

// Records call with its result and returns the result.
int finish(State& state, Call&& call, int result) {
    call.result = result;
    state.record(std::move(call));
    return result;
}

// Numbers, decides and records a constructor call; registers the object only
// when no rule made the constructor throw.
void made(State& state, Call&& call, ZebArchive* object) {
    call.archive = state.archivesMade + 1;
    state.enter(call);
    ++state.archivesMade;
    auto& facts = state.script(call.archive).facts;
    facts.made = true;
    facts.alive = true;
    state.live[call.archive] = object;
    state.liveNumbers[object] = call.archive;
    state.record(std::move(call));
}

}  // namespace

ZebArchive::ZebArchive(ZebJobCtrlClient* jobControl, bool flag, const char* text)
    : m_impl(nullptr) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::ArchiveMade));
    Call call;
    call.op = Op::ArchiveMade;
    call.nullArg1 = jobControl == nullptr;
    call.flag = flag;
    if (state.journaling()) call.text = copyOf(text);
    made(state, std::move(call), this);
    state.script(state.archivesMade).facts.restoreSide = false;
}

ZebArchive::ZebArchive(long long objectParam, ZebJobCtrlClient* jobControl, bool flag,
                       const char* machineName)
    : m_impl(nullptr) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::ArchiveMade));
    Call call;
    call.op = Op::ArchiveMade;
    call.objectParam = objectParam;
    call.nullArg1 = jobControl == nullptr;
    call.flag = flag;
    if (state.journaling()) call.machineName = copyOf(machineName);
    made(state, std::move(call), this);
    auto& facts = state.script(state.archivesMade).facts;
    facts.restoreSide = true;
    facts.objectParam = objectParam;
}

ZebArchive::~ZebArchive() {
    PlatformScope scope;
    auto& state = currentState(opName(Op::ArchiveDeleted));
    const auto object = state.liveNumbers.find(this);
    if (object != state.liveNumbers.end()) {
        Call call;
        call.op = Op::ArchiveDeleted;
        call.archive = object->second;
        state.live.erase(object->second);
        state.liveNumbers.erase(object);
        ++state.archivesDeleted;
        state.script(call.archive).facts.alive = false;
        state.enter(call);
        state.record(std::move(call));
        return;
    }
    std::fprintf(stderr, "fake platform: ZebArchive %p deleted twice or never made\n",
                 static_cast<void*>(this));
    std::abort();
}

int ZebArchive::setupPipeline(SetupPipelineArgs_t* args, const char* text,
                              SetupPipelineRet_t* ret) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::SetupPipeline));
    Call call = state.callOn(Op::SetupPipeline, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args && state.journaling()) call.setupArgs = *args;
    if (state.journaling()) call.text = copyOf(text);
    const Verdict verdict = state.enter(call);
    return finish(state, std::move(call), verdict.result.value_or(0));
}

int ZebArchive::createArchiveFile(CreateArgs_t* args, CreateRet_t* ret) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::CreateArchiveFile));
    Call call = state.callOn(Op::CreateArchiveFile, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args && state.journaling()) call.createArgs = *args;
    const int result = state.enter(call).result.value_or(0);
    if (result == 0 && ret) {
        ArchiveScript& script = state.script(call.archive);
        *ret = script.createRet.value_or(defaultCreateRet(call.archive));
        call.createRet = *ret;
        script.facts.created = *ret;
    }
    return finish(state, std::move(call), result);
}

int ZebArchive::GetCurrentArchiveFileOffset(unsigned long long* offset) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::GetCurrentArchiveFileOffset));
    Call call = state.callOn(Op::GetCurrentArchiveFileOffset, this);
    call.nullArg1 = offset == nullptr;
    const int result = state.enter(call).result.value_or(0);
    if (result == 0 && offset) {
        *offset = state.script(call.archive).offset;
        call.offset = *offset;
    }
    return finish(state, std::move(call), result);
}

int ZebArchive::closeAfile(CloseAfileArgs_t* args, CloseAfileRet_t* ret) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::CloseAfile));
    Call call = state.callOn(Op::CloseAfile, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.closeAfileArgs = *args;
    const int result = state.enter(call).result.value_or(0);
    return finish(state, std::move(call), result);
}

int ZebArchive::SetRestartContext(unsigned int context) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::SetRestartContext));
    Call call = state.callOn(Op::SetRestartContext, this);
    call.restartContext = context;
    const int result = state.enter(call).result.value_or(0);
    return finish(state, std::move(call), result);
}

int ZebArchive::freeBuffer(FreeBufArgs_t* args, FreeBufRet_t* ret) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::FreeBuffer));
    Call call = state.callOn(Op::FreeBuffer, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    const int result = state.enter(call).result.value_or(0);
    return finish(state, std::move(call), result);
}

int ZebArchive::closePipeline(ClosePipelineArgs_t* args, ClosePipelineRet_t* ret) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::ClosePipeline));
    Call call = state.callOn(Op::ClosePipeline, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.closePipelineArgs = *args;
    const int result = state.enter(call).result.value_or(0);
    return finish(state, std::move(call), result);
}

int ZebArchive::openArchiveFile(OpenArgs_t* args, OpenRet_t* ret) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::OpenArchiveFile));
    Call call = state.callOn(Op::OpenArchiveFile, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.openArgs = *args;
    const Verdict verdict = state.enter(call);
    const int result = verdict.result.value_or(0);
    if (result == 0) {
        ArchiveScript& script = state.script(call.archive);
        if (args) {
            script.opened.trellanId = args->trellanId;
            script.opened.groupNumber = static_cast<uint32_t>(args->groupNumber);
            script.opened.afileId = static_cast<uint32_t>(args->afileId);
        }
        if (ret) {
            ret->copy = script.copy;
            if (verdict.nullSessionHead) {
                ret->sessionHead = nullptr;
                script.facts.lastSession = 0;
            } else {
                ret->sessionHead = state.newSession();
                call.session = static_cast<int>(state.sessions.size());
                script.facts.lastSession = call.session;
            }
        }
    }
    return finish(state, std::move(call), result);
}

int ZebArchive::GetArchiveFileId(ArchiveFileId_t* id) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::GetArchiveFileId));
    Call call = state.callOn(Op::GetArchiveFileId, this);
    call.nullArg1 = id == nullptr;
    const int result = state.enter(call).result.value_or(0);
    if (id) {
        const ArchiveScript& script = state.script(call.archive);
        *id = script.fileId.value_or(script.opened);
        call.archiveFileId = *id;
    }
    return finish(state, std::move(call), result);
}

int ZebArchive::CloseArchiveFileAndReleaseVolume() {
    PlatformScope scope;
    auto& state = currentState(opName(Op::CloseArchiveFileAndReleaseVolume));
    Call call = state.callOn(Op::CloseArchiveFileAndReleaseVolume, this);
    const int result = state.enter(call).result.value_or(0);
    return finish(state, std::move(call), result);
}

// Delivers the next scripted entry: a message type, or a failed read for
// kReadFails. A rule decides the return value instead: 0 fails without
// taking anything from the script, nonzero still delivers. With nothing
// scripted the read fails and, unless the test allowed it, is reported.
int ZebArchive::readBuffer(ReadBufArgs_t* args, ReadBufRet_t* ret) {
    PlatformScope scope;
    auto& state = currentState(opName(Op::ReadBuffer));
    Call call = state.callOn(Op::ReadBuffer, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    const std::optional<int> ruled = state.enter(call).result;
    auto& queued = state.script(call.archive).messages;
    if (ruled && *ruled == 0) return finish(state, std::move(call), 0);
    if (queued.empty()) {
        if (!ruled && !state.allowEmptyReads) {
            state.problem("fake platform: readBuffer on ZebArchive#" +
                          std::to_string(call.archive) + " with nothing queued");
        }
        return finish(state, std::move(call), ruled.value_or(0));
    }
    const int type = queued.front();
    queued.pop_front();
    if (type == fakeplatform::kReadFails && !ruled) return finish(state, std::move(call), 0);
    if (ret && type != fakeplatform::kReadFails) {
        ret->messageType = type;
        ret->data = nullptr;
        ret->dataLength = 0;
        call.messageType = type;
    }
    return finish(state, std::move(call), ruled.value_or(1));
}
