// The logger: one line per call, written with a single write() to stderr or
// the configured log file, so that lines of concurrent threads and processes
// never interleave.

#include "platform/EvEvent.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/common/FormatText.h"
#include "platform/local/LocalState.h"

namespace localplatform {

namespace {

// The current UTC time as 2026-12-07T21:45:00.123Z.
std::string timestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    return formatText("%s.%03ldZ", date, now.tv_nsec / 1000000);
}

// Writes the whole line; a short write (a full pipe, a signal) goes on with
// the rest.
void writeAll(int fd, const std::string& line) {
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t written = ::write(fd, line.data() + done, line.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

}  // namespace

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = platformcommon::vformatText(format, args);
    va_end(args);
    return text;
}

void writeLogLine(bool isError, int level, unsigned long long jobId, const std::string& text) {
    const Config config = configuration();
    if (!isError && level > config.logLevel) return;
    const std::string levelName = isError ? "ERROR" : "DEBUG" + std::to_string(level);
    const std::string line = formatText("%s [pid %ld tid %ld] %s job %llu: ", timestamp().c_str(),
                                        static_cast<long>(getpid()), static_cast<long>(gettid()),
                                        levelName.c_str(), jobId) +
                             text + "\n";
    if (config.logFile.empty()) {
        writeAll(STDERR_FILENO, line);
        return;
    }
    // Opened per line: a replaced configuration takes effect at once, and
    // O_APPEND keeps lines of several processes whole.
    const int fd = ::open(config.logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        writeAll(STDERR_FILENO, line);
        return;
    }
    writeAll(fd, line);
    ::close(fd);
}

void platformError(const std::string& text) {
    writeLogLine(true, 0, configuration().jobId, "local platform: " + text);
}

void platformDebug(const std::string& text) {
    writeLogLine(false, 1, configuration().jobId, "local platform: " + text);
}

}  // namespace localplatform

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

EvEvent::EvEvent() { m_jobId = localplatform::configuration().jobId; }

EvEvent::~EvEvent() = default;

unsigned long long EvEvent::getJobId() { return m_jobId; }
