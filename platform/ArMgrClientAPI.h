#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/PlatformApi.h"

// Names the archive files of a job that the archive manager is to
// invalidate. 88 bytes.
struct InvalidateArchFilesByJobArgs_t {
    uint64_t jobId = 0;              // 0
    uint64_t trellanId = 0;          // 8
    std::vector<int64_t> afileIds;   // 16
    uint64_t reserved40 = 0;         // 40
    uint64_t reserved48 = 0;         // 48
    std::string text56;              // 56
};

// Result of an invalidation. 48 bytes.
struct InvalidateArchFilesByJobRet_t {
    uint64_t reserved0 = 0;          // 0
    uint64_t reserved8 = 0;          // 8
    std::string text16;              // 16
};

// Client of the archive manager, made for one request.
class ZEB_PLATFORM_API ArMgrClientAPI {
public:
    ArMgrClientAPI();
    ~ArMgrClientAPI();

    // Invalidates the archive files that args names. 0 on success.
    int invalidateArchFilesByJob(InvalidateArchFilesByJobArgs_t* args,
                                 InvalidateArchFilesByJobRet_t* ret);
};

static_assert(sizeof(InvalidateArchFilesByJobArgs_t) == 88);
static_assert(offsetof(InvalidateArchFilesByJobArgs_t, trellanId) == 8);
static_assert(offsetof(InvalidateArchFilesByJobArgs_t, afileIds) == 16);
static_assert(offsetof(InvalidateArchFilesByJobArgs_t, reserved40) == 40);
static_assert(offsetof(InvalidateArchFilesByJobArgs_t, text56) == 56);
static_assert(sizeof(InvalidateArchFilesByJobRet_t) == 48);
static_assert(offsetof(InvalidateArchFilesByJobRet_t, text16) == 16);
