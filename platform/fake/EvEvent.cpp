// The fake logger: each line goes to FakePlatform::logs(), formatted, with the
// job id of the context it was logged on, and is recorded as an Op::Log call.

#include "platform/EvEvent.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/common/FormatText.h"
#include "platform/fake/FakeState.h"

using fakeplatform::Call;
using fakeplatform::currentState;
using fakeplatform::LogLine;
using fakeplatform::Op;
using fakeplatform::PlatformScope;
using fakeplatform::plainCall;

namespace {

void append(const char* method, const char* function, int level, std::string text,
            unsigned long long jobId) {
    auto& state = currentState(method);
    LogLine line;
    line.method = method;
    line.function = function ? function : "";
    line.level = level;
    line.text = std::move(text);
    line.jobId = jobId;
    Call call;
    call.op = Op::Log;
    call.log = line;
    state.enter(call);
    state.record(std::move(call));
    state.logs.push_back(std::move(line));
}

// The null sink of Recording::CountsOnly: the line only passes the gate and is
// counted, unformatted. False when the fake keeps its lines.
bool discarded(const char* method) {
    auto& state = currentState(method);
    if (state.journaling()) return false;
    Call call;
    call.op = Op::Log;
    state.enter(call);
    state.record(std::move(call));
    return true;
}

}  // namespace

void EvDebug::debug(const char* format, ...) {
    PlatformScope scope;
    if (discarded("debug")) return;
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    append("debug", nullptr, -1, std::move(text), m_jobId);
}

void EvDebug::error(const char* format, ...) {
    PlatformScope scope;
    if (discarded("error")) return;
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    append("error", nullptr, -1, std::move(text), m_jobId);
}

void EvDebug::Debug(const char* function, const char* format, ...) {
    PlatformScope scope;
    if (discarded("Debug")) return;
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    append("Debug", function, -1, std::move(text), m_jobId);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
    PlatformScope scope;
    if (discarded("DebugLvl")) return;
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    append("DebugLvl", function, level, std::move(text), m_jobId);
}

EvEvent::EvEvent() {
    PlatformScope scope;
    auto& state = currentState(fakeplatform::opName(Op::EventMade));
    Call call;
    call.op = Op::EventMade;
    state.enter(call);
    m_jobId = state.jobId;
    call.jobId = m_jobId;
    state.record(std::move(call));
}

EvEvent::~EvEvent() {
    PlatformScope scope;
    plainCall(Op::EventGone);
}

unsigned long long EvEvent::getJobId() {
    PlatformScope scope;
    auto& state = currentState(fakeplatform::opName(Op::GetJobId));
    Call call;
    call.op = Op::GetJobId;
    state.enter(call);
    call.jobId = m_jobId;
    state.record(std::move(call));
    return m_jobId;
}
