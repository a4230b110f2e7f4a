// The fake archive manager client: records each invalidation and answers with
// the deciding rule's result, else 0.

#include "platform/ArMgrClientAPI.h"

#include <utility>

#include "platform/fake/FakeState.h"

using fakeplatform::Call;
using fakeplatform::currentState;
using fakeplatform::Op;
using fakeplatform::PlatformScope;
using fakeplatform::plainCall;

ArMgrClientAPI::ArMgrClientAPI() {
    PlatformScope scope;
    plainCall(Op::ClientMade);
}

ArMgrClientAPI::~ArMgrClientAPI() {
    PlatformScope scope;
    plainCall(Op::ClientGone);
}

int ArMgrClientAPI::invalidateArchFilesByJob(InvalidateArchFilesByJobArgs_t* args,
                                             InvalidateArchFilesByJobRet_t* ret) {
    PlatformScope scope;
    auto& state = currentState(fakeplatform::opName(Op::InvalidateArchFilesByJob));
    Call call;
    call.op = Op::InvalidateArchFilesByJob;
    call.nullArg1 = args == nullptr;
    call.nullArg2 = ret == nullptr;
    if (args) call.invalidateArgs = *args;
    const int result = state.enter(call).result.value_or(0);
    call.result = result;
    state.record(std::move(call));
    return result;
}
