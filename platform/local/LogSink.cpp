// The log sink: one line per call, stamped, written whole.

#include "platform/local/LogSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/local/Durable.h"
#include "platform/local/LocalState.h"

namespace localplatform {

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
    const std::string line = formatText("%s [pid %ld tid %ld] %s job %llu: ", utcNow().c_str(),
                                        static_cast<long>(getpid()), static_cast<long>(gettid()),
                                        levelName.c_str(), jobId) +
                             text + "\n";
    // One write per line where it fits, so that the lines of threads and
    // processes sharing the file stay whole; the rest of a short write follows.
    writeWhole(m_fd, line);
}

}  // namespace localplatform
