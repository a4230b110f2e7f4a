// The logger's seam: EvEvent contexts log through the open store's log sink
// on the job they were made for.

#include "platform/EvEvent.h"

#include <cstdarg>

#include "platform/common/FormatText.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"

using localplatform::writeLogLine;

void EvDebug::debug(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    writeLogLine(false, 1, m_jobId, text);
}

void EvDebug::error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    writeLogLine(true, 0, m_jobId, text);
}

void EvDebug::Debug(const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    writeLogLine(false, 1, m_jobId, std::string(function ? function : "?") + ": " + text);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    writeLogLine(false, level, m_jobId, std::string(function ? function : "?") + ": " + text);
}

EvEvent::EvEvent() { m_jobId = localplatform::context()->currentJob; }

EvEvent::~EvEvent() = default;

unsigned long long EvEvent::getJobId() { return m_jobId; }
