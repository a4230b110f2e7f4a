// The fake settings store and machine facts.

#include "platform/ZebPlatformInfo.h"

#include <utility>

#include "platform/fake/FakeState.h"

using fakeplatform::Call;
using fakeplatform::copyOf;
using fakeplatform::currentState;
using fakeplatform::Op;
using fakeplatform::PlatformScope;
using fakeplatform::plainCall;

ZebPlatformInfo::ZebPlatformInfo() {
    PlatformScope scope;
    plainCall(Op::PlatformInfoMade);
}

ZebPlatformInfo::~ZebPlatformInfo() {
    PlatformScope scope;
    plainCall(Op::PlatformInfoGone);
}

// Found when the setting exists, unless a rule says otherwise; *value is
// written only for a found setting that exists.
int ZebPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    PlatformScope scope;
    auto& state = currentState(fakeplatform::opName(Op::GetNumber));
    Call call;
    call.op = Op::GetNumber;
    if (state.journaling()) {
        call.section = copyOf(section);
        call.key = key ? key : "";
    }
    const unsigned long* setting = section && key ? state.setting(section, key) : nullptr;
    const int result = state.enter(call).result.value_or(setting ? 1 : 0);
    if (result != 0 && setting && value) {
        *value = *setting;
        call.settingValue = *setting;
    }
    call.result = result;
    state.record(std::move(call));
    return result;
}

const char* ZebPlatformInfo::getPhysicalMachine() {
    PlatformScope scope;
    auto& state = currentState(fakeplatform::opName(Op::GetPhysicalMachine));
    Call call;
    call.op = Op::GetPhysicalMachine;
    state.enter(call);
    m_physicalMachine = state.physicalMachine;
    if (state.journaling()) call.machineName = m_physicalMachine;
    state.record(std::move(call));
    return m_physicalMachine.c_str();
}
