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
#include <utility>

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
        startWriteback(done);
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
    // Starts writing the `length` bytes just appended to the disk without
    // waiting for them, so that the sync that closes the file finds them
    // written: a backup then writes to the disk while it still reads, as
    // a copy followed by a sync cannot. Best effort: what fails to start
    // is written, or fails, at the sync.
    void startWriteback(std::size_t length) {
        const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
        if (length == 0 || end < 0) return;
        ::sync_file_range(m_fd, end - static_cast<off_t>(length), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WRITE);
    }

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

// Clears O_NONBLOCK, which an open took so that a FIFO could not block it.
bool clearNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Keeps fd only when it is a regular file: otherwise closes it, describes
// it in *status (when given) and fails with EINVAL.
bool keepRegular(int fd, EntryStatus* status) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        closeQuietly(fd);
        return false;
    }
    if (status) *status = statusOf(info);
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return false;
    }
    return true;
}

}  // namespace

// A path reached: the directory that holds it and its name there. Below a
// confined root, dir is a directory opened component by component from the
// root's descriptor (owned here, or the root's own) and name one component
// (empty for the root itself); elsewhere dir is AT_FDCWD and name the path.
class PosixStorage::Located {
public:
    Located() = default;
    ~Located() {
        if (m_owned) closeQuietly(m_dir);
    }
    Located(const Located&) = delete;
    Located& operator=(const Located&) = delete;

    int dir() const { return m_dir; }
    bool inside() const { return m_inside; }
    // The name to hand an *at call: "." for the root itself.
    const char* name() const { return m_name.empty() ? "." : m_name.c_str(); }
    bool isRoot() const { return m_inside && m_name.empty(); }

private:
    friend class PosixStorage;
    int m_dir = AT_FDCWD;
    bool m_owned = false;
    bool m_inside = false;
    std::string m_name;
};

PosixStorage::~PosixStorage() {
    for (const auto& root : m_roots) ::close(root.second);
}

bool PosixStorage::confine(const std::string& root) {
    std::string trimmed = root;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& known : m_roots) {
        if (known.first == trimmed) return true;
    }
    const int fd = ::open(trimmed.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    m_roots.emplace_back(trimmed, fd);
    return true;
}

bool PosixStorage::locate(const std::string& path, Located* place) const {
    int rootFd = -1;
    std::size_t rootLength = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& root : m_roots) {
            const std::string& name = root.first;
            const bool below = path.compare(0, name.size(), name) == 0 &&
                               (path.size() == name.size() || path[name.size()] == '/' ||
                                name == "/");
            if (below && name.size() >= rootLength) {
                rootFd = root.second;
                rootLength = name.size();
            }
        }
    }
    if (rootFd < 0) {
        place->m_name = path;
        return true;
    }
    std::vector<std::string> components;
    std::size_t at = rootLength;
    while (at < path.size()) {
        const std::size_t slash = path.find('/', at);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > at) components.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    for (const std::string& component : components) {
        if (component == "." || component == "..") {
            errno = EACCES;
            return false;
        }
    }
    place->m_inside = true;
    place->m_dir = rootFd;
    if (components.empty()) return true;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const int next = ::openat(place->m_dir, components[i].c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            // A link in a directory's place is told as one.
            struct stat info {};
            if (errno == ENOTDIR &&
                ::fstatat(place->m_dir, components[i].c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(info.st_mode)) {
                errno = ELOOP;
            }
            return false;
        }
        if (place->m_owned) ::close(place->m_dir);
        place->m_dir = next;
        place->m_owned = true;
    }
    place->m_name = components.back();
    return true;
}

bool applyFileModes(int fd, bool directory, const FileModes& modes) {
    if (modes.group != static_cast<gid_t>(-1) &&
        ::fchown(fd, static_cast<uid_t>(-1), modes.group) != 0) {
        return false;
    }
    return ::fchmod(fd, directory ? modes.directory : modes.file) == 0;
}

std::unique_ptr<StorageFile> PosixStorage::createExclusive(const std::string& path,
                                                           const FileModes& modes) {
    Located place;
    if (!locate(path, &place)) return nullptr;
    const int fd = ::openat(place.dir(), place.name(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_APPEND,
                            modes.file);
    if (fd < 0) return nullptr;
    if (!applyFileModes(fd, false, modes)) {
        closeQuietly(fd);
        const int saved = errno;
        ::unlinkat(place.dir(), place.name(), 0);
        errno = saved;
        return nullptr;
    }
    return std::make_unique<PosixFile>(path, fd);
}

std::unique_ptr<StorageFile> PosixStorage::openForReading(const std::string& path,
                                                          EntryStatus* status) {
    Located place;
    if (!locate(path, &place)) return nullptr;
    const int fd =
        ::openat(place.dir(), place.name(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (!keepRegular(fd, status)) return nullptr;
    if (!clearNonBlocking(fd)) {
        closeQuietly(fd);
        return nullptr;
    }
    return std::make_unique<PosixFile>(path, fd);
}

std::unique_ptr<StorageFile> PosixStorage::openForAppending(const std::string& path,
                                                            const FileModes& modes) {
    Located place;
    if (!locate(path, &place)) return nullptr;
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::openat(place.dir(), place.name(), kFlags | O_CREAT | O_EXCL, modes.file);
    const bool made = fd >= 0;
    if (!made && errno == EEXIST) fd = ::openat(place.dir(), place.name(), kFlags);
    if (fd < 0) {
        // A FIFO without a reader refuses a writer that will not wait.
        if (errno == ENXIO) errno = EINVAL;
        return nullptr;
    }
    if (!keepRegular(fd, nullptr)) return nullptr;
    if (!clearNonBlocking(fd) || (made && !applyFileModes(fd, false, modes))) {
        closeQuietly(fd);
        return nullptr;
    }
    return std::make_unique<PosixFile>(path, fd);
}

bool PosixStorage::status(const std::string& path, EntryStatus* status, bool follow) {
    Located place;
    if (!locate(path, &place)) return false;
    struct stat info {};
    const int flags = follow || place.isRoot() ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::fstatat(place.dir(), place.name(), &info, flags) != 0) return false;
    if (status) *status = statusOf(info);
    return true;
}

bool PosixStorage::rename(const std::string& from, const std::string& to) {
    Located source, target;
    if (!locate(from, &source) || !locate(to, &target)) return false;
    return ::renameat(source.dir(), source.name(), target.dir(), target.name()) == 0;
}

bool PosixStorage::link(const std::string& from, const std::string& to) {
    Located source, target;
    if (!locate(from, &source) || !locate(to, &target)) return false;
    return ::linkat(source.dir(), source.name(), target.dir(), target.name(), 0) == 0;
}

bool PosixStorage::remove(const std::string& path) {
    Located place;
    if (!locate(path, &place)) return false;
    if (place.isRoot()) {
        errno = EISDIR;
        return false;
    }
    return ::unlinkat(place.dir(), place.name(), 0) == 0;
}

bool PosixStorage::list(const std::string& path, std::vector<std::string>* names) {
    Located place;
    if (!locate(path, &place)) return false;
    const int fd = ::openat(place.dir(), place.name(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC | (place.inside() ? O_NOFOLLOW : 0));
    if (fd < 0) return false;
    DIR* listing = ::fdopendir(fd);
    if (!listing) {
        closeQuietly(fd);
        return false;
    }
    names->clear();
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(name);
    }
    ::closedir(listing);
    return true;
}

namespace {

// Opens name in the folder dir without following a link (making it when
// create is set), keeps it only as a regular file, and takes its flock of
// kind (LOCK_EX or LOCK_SH) without waiting.
std::unique_ptr<StorageLock> flockAt(int dir, const char* name, bool create,
                                     const FileModes& modes, int kind) {
    const int fd =
        create ? ::openat(dir, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          modes.file)
               : ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (!keepRegular(fd, nullptr)) return nullptr;
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
    Located place;
    if (!locate(path, &place)) return nullptr;
    return flockAt(place.dir(), place.name(), create, modes, LOCK_EX);
}

std::unique_ptr<StorageLock> PosixStorage::lockShared(const std::string& path, bool create,
                                                      const FileModes& modes) {
    Located place;
    if (!locate(path, &place)) return nullptr;
    return flockAt(place.dir(), place.name(), create, modes, LOCK_SH);
}

bool PosixStorage::makeDirectory(const std::string& path, const FileModes& modes) {
    Located place;
    if (!locate(path, &place)) return false;
    if (place.isRoot()) return true;
    if (::mkdirat(place.dir(), place.name(), modes.directory) != 0) return errno == EEXIST;
    const int fd =
        ::openat(place.dir(), place.name(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool applied = fd >= 0 && applyFileModes(fd, true, modes);
    const int saved = errno;
    if (fd >= 0) ::close(fd);
    if (!applied) {
        ::unlinkat(place.dir(), place.name(), AT_REMOVEDIR);
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
    Located place;
    if (!locate(path, &place)) return false;
    const int fd = ::openat(place.dir(), place.name(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC | (place.inside() ? O_NOFOLLOW : 0));
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

bool PosixStorage::writable(const std::string& path) {
    Located place;
    if (!locate(path, &place)) return false;
    return ::faccessat(place.dir(), place.name(), W_OK, 0) == 0;
}

bool PosixStorage::truncate(const std::string& path, unsigned long long size) {
    Located place;
    if (!locate(path, &place)) return false;
    const int fd =
        ::openat(place.dir(), place.name(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (!keepRegular(fd, nullptr)) return false;
    const bool cut = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    closeQuietly(fd);
    return cut;
}

}  // namespace localplatform
