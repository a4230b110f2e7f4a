#include "jobs/wal/PusherLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/AgentError.h"

PusherLock::PusherLock(const std::string& hostDirectory) {
    const std::string path = hostDirectory + "/wal-push.lock";
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0) throw jobFailed("cannot open " + path + ": " + std::strerror(errno));
    retake();
}

PusherLock::~PusherLock() {
    if (m_fd >= 0) ::close(m_fd);  // releases the lock
}

bool PusherLock::retake() {
    if (!m_held) m_held = ::flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    return m_held;
}
