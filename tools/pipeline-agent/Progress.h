#pragma once

#include <cstdarg>
#include <cstdio>

// Prints one progress line on stderr, between the library's own log lines.
inline void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline void say(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("pipeline-agent: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    va_end(args);
}
