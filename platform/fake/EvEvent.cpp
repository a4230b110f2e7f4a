// The fake logger: each line goes to FakePlatform::logs(), formatted, with the
// job id of the context it was logged on.

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

namespace {

void append(const char* method, const char* function, int level, std::string text,
            unsigned long long jobId) {
    LogLine line;
    line.method = method;
    line.function = function ? function : "";
    line.level = level;
    line.text = std::move(text);
    line.jobId = jobId;
    currentState(method).logs.push_back(std::move(line));
}

}  // namespace

void EvDebug::debug(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    append("debug", nullptr, -1, std::move(text), m_jobId);
}

void EvDebug::error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    append("error", nullptr, -1, std::move(text), m_jobId);
}

void EvDebug::Debug(const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    append("Debug", function, -1, std::move(text), m_jobId);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    append("DebugLvl", function, level, std::move(text), m_jobId);
}

EvEvent::EvEvent() { m_jobId = currentState("EvEvent").jobId; }

EvEvent::~EvEvent() { currentState("~EvEvent"); }

unsigned long long EvEvent::getJobId() {
    auto& state = currentState(fakeplatform::opName(Op::GetJobId));
    Call call;
    call.op = Op::GetJobId;
    call.value = m_jobId;
    state.journal.push_back(std::move(call));
    return m_jobId;
}
