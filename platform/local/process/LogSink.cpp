// The log sink: one line per call, stamped, written whole.

#include "platform/local/process/LogSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"

namespace localplatform {

namespace {

// Writes all of text; false when a write fails.
bool writeWhole(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

namespace {

bool passes(bool isError, int level, int threshold) {
    if (threshold <= kLogNothing) return false;
    return isError || level <= threshold;
}

}  // namespace

LogSink::LogSink(int fd, int level, int stderrLevel)
    : m_fd(fd), m_ownsFd(false), m_level(level), m_stderrLevel(stderrLevel) {}

LogSink::LogSink(const Config& config)
    : LogSink(STDERR_FILENO, config.logLevel, config.stderrLevel) {
    if (!config.logFile.empty()) openFile(config.logFile);
}

LogSink::LogSink(const Config& config, const std::string& path)
    : LogSink(STDERR_FILENO, config.logLevel, config.stderrLevel) {
    openFile(path);
}

LogSink::LogSink(const Config& config, std::unique_ptr<StorageFile> file)
    : LogSink(STDERR_FILENO, config.logLevel, config.stderrLevel) {
    m_path = file->path();
    m_file = std::move(file);
    m_fileMutex = std::make_unique<std::mutex>();
    m_ownsFd = true;  // a file is the target: stderr gets the copy
    m_fd = -1;
}

LogSink LogSink::stderrCopyOnly(const Config& config) {
    return LogSink(STDERR_FILENO, config.stderrLevel, kLogNothing);
}

LogSink::LogSink(LogSink&& other) noexcept
    : m_fd(other.m_fd),
      m_ownsFd(other.m_ownsFd),
      m_level(other.m_level),
      m_stderrLevel(other.m_stderrLevel),
      m_path(std::move(other.m_path)),
      m_file(std::move(other.m_file)),
      m_fileMutex(std::move(other.m_fileMutex)) {
    other.m_ownsFd = false;
}

void LogSink::openFile(const std::string& path) {
    // O_APPEND keeps lines of several processes whole; a link in the file's
    // place is never followed.
    m_fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        throw std::runtime_error("cannot open the log file " + path + ": " +
                                 std::strerror(errno));
    }
    m_ownsFd = true;
    m_path = path;
}

LogSink::~LogSink() {
    if (m_ownsFd && m_fd >= 0) ::close(m_fd);
}

void LogSink::write(bool isError, int level, unsigned long long jobId,
                    const std::string& text) const {
    const bool toTarget = passes(isError, level, m_level);
    const bool toStderr = m_ownsFd && passes(isError, level, m_stderrLevel);
    if (!toTarget && !toStderr) return;
    const std::string levelName = isError ? "ERROR" : "DEBUG" + std::to_string(level);
    const std::string line = formatText("%s [pid %ld tid %ld] %s job %llu: ", utcNow().c_str(),
                                        static_cast<long>(getpid()), static_cast<long>(gettid()),
                                        levelName.c_str(), jobId) +
                             text + "\n";
    // One write per line where it fits, so that the lines of threads and
    // processes sharing the file stay whole; the rest of a short write follows.
    bool written = true;
    if (toTarget && m_file) {
        std::lock_guard<std::mutex> lock(*m_fileMutex);
        written = m_file->append(line.data(), line.size(), nullptr);
    } else if (toTarget) {
        written = writeWhole(m_fd, line);
    }
    // A line the file cannot take (a full disk, say) is not lost: it goes to
    // stderr instead.
    if (toStderr || (!written && m_ownsFd)) writeWhole(STDERR_FILENO, line);
}

}  // namespace localplatform
