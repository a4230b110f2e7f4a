// The fake pause: recorded, never slept.

#include "platform/QiSleep.h"

#include <utility>

#include "platform/fake/FakeState.h"

using fakeplatform::Call;
using fakeplatform::Op;

void QISLEEP_InTeRnAl(unsigned long milliseconds, const char* unit, int line) {
    auto& state = fakeplatform::currentState(fakeplatform::opName(Op::Sleep));
    Call call;
    call.op = Op::Sleep;
    call.value = milliseconds;
    call.text = fakeplatform::copyOf(unit);
    call.line = line;
    state.journal.push_back(std::move(call));
}
