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

// Appends call to the journal with its result and returns the result.
int finish(fakeplatform::FakePlatform::State& state, Call call, int result) {
    call.result = result;
    state.journal.push_back(std::move(call));
    return result;
}

}  // namespace

ZebArchive::ZebArchive(ZebJobCtrlClient* jobControl, bool flag, const char* text)
    : m_impl(nullptr) {
    auto& state = currentState(opName(Op::ArchiveMade));
    Call call;
    call.op = Op::ArchiveMade;
    call.archive = ++state.archivesMade;
    call.nullArg1 = jobControl == nullptr;
    call.flag = flag;
    call.text = copyOf(text);
    state.live[call.archive] = this;
    state.journal.push_back(std::move(call));
}

ZebArchive::ZebArchive(long long objectParam, ZebJobCtrlClient* jobControl, bool flag,
                       const char* machineName)
    : m_impl(nullptr) {
    auto& state = currentState(opName(Op::ArchiveMade));
    Call call;
    call.op = Op::ArchiveMade;
    call.archive = ++state.archivesMade;
    call.value = static_cast<unsigned long long>(objectParam);
    call.nullArg1 = jobControl == nullptr;
    call.flag = flag;
    call.text = copyOf(machineName);
    state.live[call.archive] = this;
    state.journal.push_back(std::move(call));
}

ZebArchive::~ZebArchive() {
    auto& state = currentState(opName(Op::ArchiveDeleted));
    for (auto object = state.live.begin(); object != state.live.end(); ++object) {
        if (object->second == this) {
            Call call;
            call.op = Op::ArchiveDeleted;
            call.archive = object->first;
            state.live.erase(object);
            ++state.archivesDeleted;
            state.journal.push_back(std::move(call));
            return;
        }
    }
    std::fprintf(stderr, "fake platform: ZebArchive %p deleted twice or never made\n",
                 static_cast<void*>(this));
    std::abort();
}

int ZebArchive::setupPipeline(SetupPipelineArgs_t* args, const char* text,
                              SetupPipelineRet_t* ret) {
    auto& state = currentState(opName(Op::SetupPipeline));
    Call call = state.callOn(Op::SetupPipeline, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.setupArgs = *args;
    call.text = copyOf(text);
    const int result = state.scriptedResult(call).value_or(0);
    return finish(state, std::move(call), result);
}

int ZebArchive::createArchiveFile(CreateArgs_t* args, CreateRet_t* ret) {
    auto& state = currentState(opName(Op::CreateArchiveFile));
    Call call = state.callOn(Op::CreateArchiveFile, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.createArgs = *args;
    const int result = state.scriptedResult(call).value_or(0);
    if (result == 0 && ret) {
        const ArchiveScript& script = state.script(call.archive);
        *ret = script.createRet.value_or(defaultCreateRet(call.archive));
        call.createRet = *ret;
    }
    return finish(state, std::move(call), result);
}

int ZebArchive::GetCurrentArchiveFileOffset(unsigned long long* offset) {
    auto& state = currentState(opName(Op::GetCurrentArchiveFileOffset));
    Call call = state.callOn(Op::GetCurrentArchiveFileOffset, this);
    call.nullArg1 = offset == nullptr;
    const int result = state.scriptedResult(call).value_or(0);
    if (result == 0 && offset) {
        *offset = state.script(call.archive).offset;
        call.value = *offset;
    }
    return finish(state, std::move(call), result);
}

int ZebArchive::closeAfile(CloseAfileArgs_t* args, CloseAfileRet_t* ret) {
    auto& state = currentState(opName(Op::CloseAfile));
    Call call = state.callOn(Op::CloseAfile, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.closeAfileArgs = *args;
    const int result = state.scriptedResult(call).value_or(0);
    return finish(state, std::move(call), result);
}

int ZebArchive::SetRestartContext(unsigned int context) {
    auto& state = currentState(opName(Op::SetRestartContext));
    Call call = state.callOn(Op::SetRestartContext, this);
    call.value = context;
    const int result = state.scriptedResult(call).value_or(0);
    return finish(state, std::move(call), result);
}

int ZebArchive::freeBuffer(FreeBufArgs_t* args, FreeBufRet_t* ret) {
    auto& state = currentState(opName(Op::FreeBuffer));
    Call call = state.callOn(Op::FreeBuffer, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    const int result = state.scriptedResult(call).value_or(0);
    return finish(state, std::move(call), result);
}

int ZebArchive::closePipeline(ClosePipelineArgs_t* args, ClosePipelineRet_t* ret) {
    auto& state = currentState(opName(Op::ClosePipeline));
    Call call = state.callOn(Op::ClosePipeline, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.closePipelineArgs = *args;
    const int result = state.scriptedResult(call).value_or(0);
    return finish(state, std::move(call), result);
}

int ZebArchive::openArchiveFile(OpenArgs_t* args, OpenRet_t* ret) {
    auto& state = currentState(opName(Op::OpenArchiveFile));
    Call call = state.callOn(Op::OpenArchiveFile, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.openArgs = *args;
    const int result = state.scriptedResult(call).value_or(0);
    if (result == 0) {
        ArchiveScript& script = state.script(call.archive);
        if (args) {
            script.opened.trellanId = args->trellanId;
            script.opened.groupNumber = static_cast<uint32_t>(args->groupNumber);
            script.opened.afileId = static_cast<uint32_t>(args->afileId);
        }
        if (ret) {
            ret->sessionHead = state.newSession();
            ret->copy = script.copy;
            call.session = static_cast<int>(state.sessions.size());
        }
    }
    return finish(state, std::move(call), result);
}

int ZebArchive::GetArchiveFileId(ArchiveFileId_t* id) {
    auto& state = currentState(opName(Op::GetArchiveFileId));
    Call call = state.callOn(Op::GetArchiveFileId, this);
    call.nullArg1 = id == nullptr;
    const int result = state.scriptedResult(call).value_or(0);
    if (id) {
        const ArchiveScript& script = state.script(call.archive);
        *id = script.fileId.value_or(script.opened);
        call.archiveFileId = *id;
    }
    return finish(state, std::move(call), result);
}

int ZebArchive::CloseArchiveFileAndReleaseVolume() {
    auto& state = currentState(opName(Op::CloseArchiveFileAndReleaseVolume));
    Call call = state.callOn(Op::CloseArchiveFileAndReleaseVolume, this);
    const int result = state.scriptedResult(call).value_or(0);
    return finish(state, std::move(call), result);
}

// Delivers the next queued message type, if any; with none queued returns 0
// so that a caller waiting for messages never hangs. A scripted result decides
// the return value; a nonzero one still delivers.
int ZebArchive::readBuffer(ReadBufArgs_t* args, ReadBufRet_t* ret) {
    auto& state = currentState(opName(Op::ReadBuffer));
    Call call = state.callOn(Op::ReadBuffer, this);
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    auto& queued = state.script(call.archive).messages;
    const int result = state.scriptedResult(call).value_or(queued.empty() ? 0 : 1);
    if (result != 0 && !queued.empty()) {
        const int type = queued.front();
        queued.pop_front();
        if (ret) {
            ret->messageType = type;
            ret->data = nullptr;
            ret->dataLength = 0;
            call.messageType = type;
        }
    }
    return finish(state, std::move(call), result);
}
