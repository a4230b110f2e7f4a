#include "session/JobIds.h"

#include <unistd.h>

#include <chrono>

unsigned long long newJobId() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return static_cast<unsigned long long>(ms) * 100000ULL +
           static_cast<unsigned long long>(::getpid()) % 100000ULL;
}
