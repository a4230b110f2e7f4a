#pragma once

#include "platform/PlatformApi.h"

// The logging methods of a logging context (see EvEvent). Formats are
// printf-style; the arguments must match their conversions.
class ZEB_PLATFORM_API EvDebug {
public:
    // A debug-level line whose text carries its own prefix.
    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // An error-level line whose text carries its own prefix.
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A debug line attributed to the named function.
    void Debug(const char* function, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // A line of the given debug level attributed to the named function.
    void DebugLvl(const char* function, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

protected:
    EvDebug() = default;
    ~EvDebug() = default;

    // The job whose context this is, fixed when the context is made.
    unsigned long long m_jobId = 0;
};
