#pragma once

#include "platform/EvDebug.h"
#include "platform/PlatformApi.h"

// The logging context of one operation, bound to the current job.
class ZEB_PLATFORM_API EvEvent : public EvDebug {
public:
    EvEvent();
    ~EvEvent();

    EvEvent(const EvEvent&) = delete;
    EvEvent& operator=(const EvEvent&) = delete;

    // The id of the job this context belongs to.
    unsigned long long getJobId();
};
