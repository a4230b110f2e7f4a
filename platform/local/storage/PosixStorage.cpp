// The store's bytes by POSIX calls: the one place of the platform, beside
// the catalog's own libraries, that calls the file system for the store.

#include "platform/local/storage/PosixStorage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace localplatform {

namespace {

// Closes fd keeping errno as it was.
void closeQuietly(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

EntryStatus statusOf(const struct stat& info) {
    EntryStatus status;
    const mode_t mode = info.st_mode;
    status.kind = S_ISREG(mode)                    ? EntryStatus::Kind::Regular
                  : S_ISDIR(mode)                  ? EntryStatus::Kind::Directory
                  : S_ISLNK(mode)                  ? EntryStatus::Kind::Link
                  : S_ISFIFO(mode)                 ? EntryStatus::Kind::Fifo
                  : S_ISCHR(mode) || S_ISBLK(mode) ? EntryStatus::Kind::Device
                                                   : EntryStatus::Kind::Other;
    status.size = static_cast<unsigned long long>(info.st_size);
    status.permissions = mode & 07777;
    return status;
}

class PosixFile final : public StorageFile {
public:
    PosixFile(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}
    ~PosixFile() override { ::close(m_fd); }
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    const std::string& path() const override { return m_path; }

    bool append(const void* data, std::size_t length, std::size_t* written) override {
        const auto* bytes = static_cast<const char*>(data);
        std::size_t done = 0;
        bool good = true;
        while (done < length) {
            const ssize_t count = ::write(m_fd, bytes + done, length - done);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) {
                good = false;
                break;
            }
            done += static_cast<std::size_t>(count);
        }
        if (written) *written = done;
        return good;
    }

    bool sync() override { return ::fsync(m_fd) == 0; }

    ssize_t readAt(void* data, std::size_t length, unsigned long long offset) override {
        auto* bytes = static_cast<char*>(data);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t count =
                ::pread(m_fd, bytes + done, length - done, static_cast<off_t>(offset + done));
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) return -1;
            if (count == 0) break;
            done += static_cast<std::size_t>(count);
        }
        return static_cast<ssize_t>(done);
    }

    bool size(unsigned long long* size) override {
        struct stat info {};
        if (::fstat(m_fd, &info) != 0) return false;
        *size = static_cast<unsigned long long>(info.st_size);
        return true;
    }

private:
    const std::string m_path;
    const int m_fd;
};

class PosixLock final : public StorageLock {
public:
    explicit PosixLock(int fd) : m_fd(fd) {}
    ~PosixLock() override { ::close(m_fd); }
    PosixLock(const PosixLock&) = delete;
    PosixLock& operator=(const PosixLock&) = delete;

private:
    const int m_fd;
};

}  // namespace

bool applyFileModes(int fd, bool directory, const FileModes& modes) {
    if (modes.group != static_cast<gid_t>(-1) &&
        ::fchown(fd, static_cast<uid_t>(-1), modes.group) != 0) {
        return false;
    }
    return ::fchmod(fd, directory ? modes.directory : modes.file) == 0;
}

std::unique_ptr<StorageFile> PosixStorage::createExclusive(const std::string& path,
                                                           const FileModes& modes) {
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_APPEND, modes.file);
    if (fd < 0) return nullptr;
    if (!applyFileModes(fd, false, modes)) {
        closeQuietly(fd);
        const int saved = errno;
        ::unlink(path.c_str());
        errno = saved;
        return nullptr;
    }
    return std::make_unique<PosixFile>(path, fd);
}

std::unique_ptr<StorageFile> PosixStorage::openForReading(const std::string& path,
                                                          EntryStatus* status) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        closeQuietly(fd);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        if (status) *status = statusOf(info);
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        closeQuietly(fd);
        return nullptr;
    }
    if (status) *status = statusOf(info);
    return std::make_unique<PosixFile>(path, fd);
}

bool PosixStorage::status(const std::string& path, EntryStatus* status, bool follow) {
    struct stat info {};
    if ((follow ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0) return false;
    if (status) *status = statusOf(info);
    return true;
}

bool PosixStorage::rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool PosixStorage::link(const std::string& from, const std::string& to) {
    return ::link(from.c_str(), to.c_str()) == 0;
}

bool PosixStorage::remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool PosixStorage::list(const std::string& path, std::vector<std::string>* names) {
    DIR* listing = ::opendir(path.c_str());
    if (!listing) return false;
    names->clear();
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(name);
    }
    ::closedir(listing);
    return true;
}

namespace {

// Opens path (making it when create is set) and takes its flock of kind
// (LOCK_EX or LOCK_SH) without waiting.
std::unique_ptr<StorageLock> flockFile(const std::string& path, bool create, const FileModes& modes,
                                       int kind) {
    const int fd = create
                       ? ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, modes.file)
                       : ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (create) applyFileModes(fd, false, modes);
    if (::flock(fd, kind | LOCK_NB) != 0) {
        closeQuietly(fd);
        return nullptr;
    }
    return std::make_unique<PosixLock>(fd);
}

}  // namespace

std::unique_ptr<StorageLock> PosixStorage::lock(const std::string& path, bool create,
                                                const FileModes& modes) {
    return flockFile(path, create, modes, LOCK_EX);
}

std::unique_ptr<StorageLock> PosixStorage::lockShared(const std::string& path, bool create,
                                                      const FileModes& modes) {
    return flockFile(path, create, modes, LOCK_SH);
}

bool PosixStorage::makeDirectory(const std::string& path, const FileModes& modes) {
    if (::mkdir(path.c_str(), modes.directory) != 0) return errno == EEXIST;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool applied = fd >= 0 && applyFileModes(fd, true, modes);
    const int saved = errno;
    if (fd >= 0) ::close(fd);
    if (!applied) {
        ::rmdir(path.c_str());
        errno = saved;
    }
    return applied;
}

bool PosixStorage::makeParents(const std::string& path) {
    std::filesystem::path target(path);
    if (target.filename().empty()) target = target.parent_path();
    if (!target.has_parent_path() || target.parent_path() == target) return true;
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    if (error) errno = error.value();
    return !error;
}

bool PosixStorage::syncDirectory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    closeQuietly(fd);
    return synced;
}

bool PosixStorage::canonical(const std::string& path, std::string* resolved) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return false;
    *resolved = real;
    std::free(real);
    return true;
}

bool PosixStorage::writable(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

bool PosixStorage::truncate(const std::string& path, unsigned long long size) {
    return ::truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

}  // namespace localplatform
