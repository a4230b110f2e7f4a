// The fake settings store and machine facts.

#include "platform/ZebPlatformInfo.h"

#include <utility>

#include "platform/fake/FakeState.h"

using fakeplatform::Call;
using fakeplatform::copyOf;
using fakeplatform::currentState;
using fakeplatform::Op;

ZebPlatformInfo::ZebPlatformInfo() { currentState("ZebPlatformInfo"); }

ZebPlatformInfo::~ZebPlatformInfo() { currentState("~ZebPlatformInfo"); }

// Found when the setting exists, unless a script says otherwise; *value is
// written only for a found setting that exists.
int ZebPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    auto& state = currentState(fakeplatform::opName(Op::GetNumber));
    Call call;
    call.op = Op::GetNumber;
    call.text = copyOf(section);
    call.key = key ? key : "";
    const unsigned long* setting = section && key ? state.setting(section, key) : nullptr;
    const int result = state.scriptedResult(call).value_or(setting ? 1 : 0);
    if (result != 0 && setting && value) {
        *value = *setting;
        call.value = *setting;
    }
    call.result = result;
    state.journal.push_back(std::move(call));
    return result;
}

const char* ZebPlatformInfo::getPhysicalMachine() {
    auto& state = currentState(fakeplatform::opName(Op::GetPhysicalMachine));
    m_physicalMachine = state.physicalMachine;
    Call call;
    call.op = Op::GetPhysicalMachine;
    call.text = m_physicalMachine;
    state.journal.push_back(std::move(call));
    return m_physicalMachine.c_str();
}
