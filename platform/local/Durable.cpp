#include "platform/local/Durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/local/LocalState.h"

namespace localplatform {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

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

bool syncDirectory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return synced;
}

bool createDurably(const std::string& path, const std::string& text, const FileModes& modes) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, modes.file);
    if (fd < 0) return false;
    const bool written =
        applyFileModes(fd, false, modes) && writeWhole(fd, text) && ::fsync(fd) == 0;
    int saved = errno;
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        errno = saved;
        return false;
    }
    const auto slash = path.rfind('/');
    return syncDirectory(slash == std::string::npos ? "." : path.substr(0, slash));
}

namespace {

// The current UTC time with milliseconds, ISO 8601 or compact.
std::string utcTime(bool compact) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char date[32];
    if (compact) std::strftime(date, sizeof date, "%Y%m%dT%H%M%S", &utc);
    else std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    return formatText("%s.%03ldZ", date, now.tv_nsec / 1000000);
}

}  // namespace

std::string utcNow() { return utcTime(false); }

std::string utcNowCompact() { return utcTime(true); }

}  // namespace localplatform
