#pragma once

#include "platform/PlatformApi.h"

// Blocks the calling thread for the given milliseconds. unit and line name
// the place that pauses, for the platform's diagnostics.
ZEB_PLATFORM_API void QISLEEP_InTeRnAl(unsigned long milliseconds, const char* unit, int line);
