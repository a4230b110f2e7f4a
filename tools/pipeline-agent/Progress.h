#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>

// Whether say() prints: set once by main before any work (off under -q).
inline std::atomic<bool>& progressShown() {
    static std::atomic<bool> shown{true};
    return shown;
}

// Prints one of the agent's own progress lines on stderr, unless -q.
inline void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline void say(const char* format, ...) {
    if (!progressShown().load()) return;
    std::va_list args;
    va_start(args, format);
    std::fputs("pipeline-agent: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    va_end(args);
}
