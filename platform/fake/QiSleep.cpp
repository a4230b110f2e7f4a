// The fake pause: recorded, never slept.

#include "platform/QiSleep.h"

#include <utility>

#include "platform/fake/FakeState.h"

using fakeplatform::Call;
using fakeplatform::Op;

void QISLEEP_InTeRnAl(unsigned long milliseconds, const char* unit, int line) {
    fakeplatform::PlatformScope scope;
    auto& state = fakeplatform::currentState(fakeplatform::opName(Op::Sleep));
    Call call;
    call.op = Op::Sleep;
    call.pauseMs = milliseconds;
    if (state.journaling()) call.unit = fakeplatform::copyOf(unit);
    call.line = line;
    state.enter(call);
    state.record(std::move(call));
}
