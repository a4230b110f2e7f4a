// The fake archive manager client: records each invalidation and answers with
// the scripted result.

#include "platform/ArMgrClientAPI.h"

#include <utility>

#include "platform/fake/FakeState.h"

using fakeplatform::Call;
using fakeplatform::currentState;
using fakeplatform::Op;

ArMgrClientAPI::ArMgrClientAPI() { currentState("ArMgrClientAPI"); }

ArMgrClientAPI::~ArMgrClientAPI() { currentState("~ArMgrClientAPI"); }

int ArMgrClientAPI::invalidateArchFilesByJob(InvalidateArchFilesByJobArgs_t* args,
                                             InvalidateArchFilesByJobRet_t* ret) {
    auto& state = currentState(fakeplatform::opName(Op::InvalidateArchFilesByJob));
    Call call;
    call.op = Op::InvalidateArchFilesByJob;
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.invalidateArgs = *args;
    const int result = state.scriptedResult(call).value_or(0);
    call.result = result;
    state.journal.push_back(std::move(call));
    return result;
}
