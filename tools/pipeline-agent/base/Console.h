#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

// Whether say() prints: set once by main before any work (off under -q).
inline std::atomic<bool>& progressShown() {
    static std::atomic<bool> shown{true};
    return shown;
}

// A line drawn in place at the bottom of a terminal (the live progress line).
// Whatever else goes to stderr is printed through printLine, which clears it
// first and draws it again after, so that lines never run into it.
class LiveLine {
public:
    virtual ~LiveLine() = default;
    // Both with stderrLock() held.
    virtual void clearLocked() = 0;
    virtual void redrawLocked() = 0;
};

// Held while anything is written to stderr by the agent's own lines.
inline std::mutex& stderrLock() {
    static std::mutex lock;
    return lock;
}

// The live line now drawn, if any; read and set with stderrLock() held.
inline LiveLine*& liveLine() {
    static LiveLine* line = nullptr;
    return line;
}

// Prints text (a whole line, with its newline) on stderr above the live line.
inline void printLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(stderrLock());
    if (liveLine()) liveLine()->clearLocked();
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    if (liveLine()) liveLine()->redrawLocked();
}

// Clears the live line for good, for a process about to end at once (a
// signal's _exit): nothing draws it again.
inline void dropLiveLine() {
    std::lock_guard<std::mutex> lock(stderrLock());
    if (liveLine()) liveLine()->clearLocked();
    liveLine() = nullptr;
}

// Prints one of the agent's own progress lines on stderr, unless -q.
inline void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline void say(const char* format, ...) {
    if (!progressShown().load()) return;
    std::va_list args;
    va_start(args, format);
    char buffer[1024];
    std::va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    std::string text = "pipeline-agent: ";
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof buffer) {
        text += buffer;
    } else if (length >= 0) {
        std::string longer(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(longer.data(), longer.size(), format, args);
        longer.resize(static_cast<std::size_t>(length));
        text += longer;
    }
    va_end(args);
    printLine(text + "\n");
}
