#include "base/ProcessPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// linux/ioprio.h's values, which glibc does not wrap.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassShift = 13;
constexpr int kIoprioClassBestEffort = 2;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioLowestLevel = 7;

constexpr int kMoreNiceness = 10;

}  // namespace

std::string lowerPriority() {
    std::string failed;
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, 0);
    if ((now == -1 && errno != 0) || ::setpriority(PRIO_PROCESS, 0, now + kMoreNiceness) != 0) {
        failed = std::string("cannot lower the CPU priority: ") + std::strerror(errno);
    }
    const int current = static_cast<int>(::syscall(SYS_ioprio_get, kIoprioWhoProcess, 0));
    const int lowest = (kIoprioClassBestEffort << kIoprioClassShift) | kIoprioLowestLevel;
    // The idle class is lower still: it is kept.
    const bool idle = current >= 0 && (current >> kIoprioClassShift) == kIoprioClassIdle;
    if (!idle && ::syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, lowest) != 0) {
        failed += std::string(failed.empty() ? "" : "; ") +
                  "cannot lower the I/O priority: " + std::strerror(errno);
    }
    return failed;
}
