// The log sink: one line per call, stamped, written whole.

#include "platform/local/LogSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

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

LogSink::LogSink(const Config& config)
    : m_fd(STDERR_FILENO), m_ownsFd(false), m_level(config.logLevel) {
    if (config.logFile.empty()) return;
    // O_APPEND keeps lines of several processes whole.
    m_fd = ::open(config.logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        throw std::runtime_error("cannot open the log file " + config.logFile + ": " +
                                 std::strerror(errno));
    }
    m_ownsFd = true;
}

LogSink::~LogSink() {
    if (m_ownsFd) ::close(m_fd);
}

void LogSink::write(bool isError, int level, unsigned long long jobId,
                    const std::string& text) const {
    if (!isError && level > m_level) return;
    const std::string levelName = isError ? "ERROR" : "DEBUG" + std::to_string(level);
    const std::string line = formatText("%s [pid %ld tid %ld] %s job %llu: ", timestamp().c_str(),
                                        static_cast<long>(getpid()), static_cast<long>(gettid()),
                                        levelName.c_str(), jobId) +
                             text + "\n";
    writeAll(m_fd, line);
}

}  // namespace localplatform
