#include "inputs/InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/AgentError.h"
#include "inputs/SqliteSnapshot.h"
#include "inputs/SqliteWalImage.h"

namespace {

// How often a file that grew between its stat and the look past its end is
// looked at again before it is refused as one whose size cannot be trusted.
constexpr int kSizeLooks = 4;

}  // namespace

InputFile::InputFile(const std::string& path) : m_path(path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) throw badInput("cannot read input " + path + ": " + std::strerror(errno));
    struct stat info;
    if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(m_fd);
        throw badInput("input " + path + " is not a regular file");
    }
    // A file whose size is what it holds has no byte at its size. One that
    // has is either growing (its size moves on: look again) or one whose
    // size says nothing of its content, as procfs and sysfs files.
    for (int look = 1;; ++look) {
        char past = 0;
        ssize_t got;
        do {
            got = ::pread(m_fd, &past, 1, info.st_size);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            const int error = errno;
            ::close(m_fd);
            throw badInput("cannot read input " + path + ": " + std::strerror(error));
        }
        if (got == 0) break;
        const off_t said = info.st_size;
        if (::fstat(m_fd, &info) != 0 || info.st_size == said || look == kSizeLooks) {
            ::close(m_fd);
            throw badInput(path + " has more bytes than its size (" +
                           std::to_string(static_cast<long long>(said)) +
                           ") says; copy it to a regular file first");
        }
    }
    m_identity = identityOf(info);
    m_mode = static_cast<int>(info.st_mode & 0777);
    char header[kSqliteJournalHeaderSize];
    ssize_t got;
    do {
        got = ::pread(m_fd, header, sizeof header, 0);
    } while (got < 0 && errno == EINTR);
    const std::size_t length = got > 0 ? static_cast<std::size_t>(got) : 0;
    m_sqlite = isSqliteHeader(header, length);
    m_sqliteWal = isSqliteWalHeader(header, length);
    // Opened again when its turn comes: a set of any number of files needs
    // one descriptor at a time. The identity taken now tells a file replaced
    // meanwhile.
    ::close(m_fd);
    m_fd = -1;
    m_deferred = true;
    m_followsLink = true;
}

InputFile::InputFile(const std::string& path, const struct stat& walked)
    : m_path(path),
      m_mode(static_cast<int>(walked.st_mode & 0777)),
      m_deferred(true),
      m_identity(identityOf(walked)) {}

InputFile::InputFile(const std::string& path, const SqliteWalImage& image)
    : m_path(path),
      m_mode(static_cast<int>(image.status().st_mode & 0777)),
      m_sqlite(true),
      m_sqliteWal(true),
      m_image(&image),
      m_identity(identityOf(image.status())) {
    m_identity.size = image.size();
}

InputFile::~InputFile() {
    if (m_fd >= 0) ::close(m_fd);
}

void InputFile::open() const {
    if (!m_deferred || m_fd >= 0) return;
    // Never through a link, and never waiting on a FIFO put in its place:
    // the identity check below tells either.
    const int fd = ::open(m_path.c_str(),
                          O_RDONLY | (m_followsLink ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && m_live && errno == ENOENT) {
        m_vanished = true;
        return;
    }
    if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP) {
            throw jobFailed(m_path +
                            " changed while it was read (it was removed or replaced); "
                            "nothing was backed up");
        }
        throw jobFailed("cannot read input " + m_path + ": " + std::strerror(errno));
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        throw jobFailed("cannot read input " + m_path + ": " + std::strerror(error));
    }
    const std::string change = !S_ISREG(info.st_mode) ? std::string("it is no longer a regular file")
                               : m_live               ? std::string()
                                                      : describeChange(m_identity, identityOf(info));
    if (!change.empty()) {
        ::close(fd);
        throw jobFailed(m_path + " changed while it was read (" + change +
                        "); nothing was backed up");
    }
    char past = 0;
    ssize_t got = 0;
    do {
        if (!m_live) got = ::pread(fd, &past, 1, info.st_size);
    } while (got < 0 && errno == EINTR);
    if (got != 0) {
        const int error = errno;
        ::close(fd);
        if (got < 0) throw jobFailed("cannot read input " + m_path + ": " + std::strerror(error));
        throw jobFailed(m_path + " has more bytes than its size (" + std::to_string(info.st_size) +
                        ") says, or grew while it was read; nothing was backed up");
    }
    m_fd = fd;
}

void InputFile::release() const {
    if (!m_deferred || m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
}

void InputFile::readLive(ReadObserver observer) {
    m_live = true;
    m_observer = std::move(observer);
}

void InputFile::readAt(char* data, std::size_t length, uint64_t offset) const {
    readBytes(data, length, offset, true);
}

void InputFile::readQuietly(char* data, std::size_t length, uint64_t offset) const {
    readBytes(data, length, offset, false);
}

void InputFile::readBytes(char* data, std::size_t length, uint64_t offset, bool observed) const {
    // The held state: never read live, so never observed.
    if (m_image) return m_image->readAt(data, length, offset);
    const char* const start = data;
    const std::size_t asked = length;
    const uint64_t from = offset;
    while (length > 0) {
        const ssize_t got =
            m_vanished ? 0 : ::pread(m_fd, data, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got == 0 && m_live) {
            std::memset(data, 0, length);  // it shrank: the log mends it
            break;
        }
        if (got == 0) requireUnchanged();
        if (got <= 0) {
            throw jobFailed("cannot read input " + m_path + ": " +
                            (got == 0 ? "it shrank while being read" : std::strerror(errno)));
        }
        data += got;
        length -= static_cast<std::size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    if (m_observer && observed) m_observer(start, asked, from);
}

void InputFile::requireUnchanged() const {
    if (m_live || m_image) return;
    // The name first: a file replaced under it (written anew and renamed
    // over it) is the likelier story than the old file's own change time.
    std::string what;
    struct stat named;
    if (::stat(m_path.c_str(), &named) != 0) {
        what = "it was removed or renamed";
    } else if (static_cast<uint64_t>(named.st_dev) != m_identity.device ||
               static_cast<uint64_t>(named.st_ino) != m_identity.inode) {
        what = "its name now names another file";
    } else {
        struct stat now;
        if (::fstat(m_fd, &now) != 0) {
            what = std::string("it cannot be looked at: ") + std::strerror(errno);
        } else {
            what = describeChange(m_identity, identityOf(now));
        }
    }
    if (!what.empty()) {
        throw jobFailed(m_path + " changed while it was read (" + what +
                        "); nothing was backed up");
    }
}
