#include "outputs/PartialOutputs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <vector>

#include "base/AgentError.h"

namespace {

constexpr const char* kRecordSuffix = ".partial-output";

// The hidden files this process writes now, for discardPartialOutputs.
std::mutex g_mutex;
std::set<std::string>& live() {
    static std::set<std::string> files;
    return files;
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The record's contents: the hidden file's path, read without blocking.
bool readRecord(int fd, std::string* path) {
    char buffer[4097];
    const ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (got <= 0 || buffer[got - 1] != '\n') return false;
    path->assign(buffer, static_cast<std::size_t>(got - 1));
    return path->find('\n') == std::string::npos;
}

// Removes what the open directory fd holds; false when something stayed.
bool removeBelow(int fd) {
    DIR* dir = ::fdopendir(::dup(fd));
    if (!dir) return false;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    bool removed = true;
    for (const std::string& name : names) {
        struct stat info;
        if (::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            ::fchmodat(fd, name.c_str(), 0700, 0);
            const int child =
                ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0) {
                removeBelow(child);
                ::close(child);
            }
            if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) removed = false;
        } else if (::unlinkat(fd, name.c_str(), 0) != 0) {
            removed = false;
        }
    }
    return removed;
}

// Removes a hidden partial output: a file, or a directory with all in it.
bool removePartial(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return false;
    if (S_ISDIR(info.st_mode)) return removeDirectoryTree(path);
    return S_ISREG(info.st_mode) && ::unlink(path.c_str()) == 0;
}

}  // namespace

bool removeDirectoryTree(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT;
    if (!S_ISDIR(info.st_mode)) return false;
    ::chmod(path.c_str(), 0700);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    removeBelow(fd);
    ::close(fd);
    return ::rmdir(path.c_str()) == 0;
}

bool isPartialOutputName(const std::string& name) {
    const auto mark = name.rfind(".partial-");
    return name.size() > 1 && name[0] == '.' && mark != std::string::npos && mark > 1 &&
           name.size() == mark + std::strlen(".partial-") + 6;
}

PartialOutputRecord::PartialOutputRecord(const std::string& directory,
                                         const std::string& hiddenFile) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw jobFailed("cannot create " + directory + ": " + std::strerror(errno));
    }
    std::random_device random;
    m_path = directory + "/" + std::to_string(::getpid()) + "-" + std::to_string(random()) +
             kRecordSuffix;
    m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_fd < 0) throw jobFailed("cannot create " + m_path + ": " + std::strerror(errno));
    // Absolute, so that a cleanup run from any directory finds it.
    const std::string line =
        std::filesystem::absolute(hiddenFile).lexically_normal().string() + "\n";
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 ||
        ::write(m_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
        ::fsync(m_fd) != 0) {
        const std::string message = "cannot write " + m_path + ": " + std::strerror(errno);
        ::close(m_fd);
        ::unlink(m_path.c_str());
        throw jobFailed(message);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    live().insert(hiddenFile);
    m_hiddenFile = hiddenFile;
}

PartialOutputRecord::~PartialOutputRecord() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        live().erase(m_hiddenFile);
    }
    ::unlink(m_path.c_str());
    ::close(m_fd);
}

void addLivePartial(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    live().insert(path);
}

void removeLivePartial(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_mutex);
    live().erase(path);
}

void discardPartialOutputs() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const std::string& file : live()) removePartial(file);
}

std::vector<std::string> sweepPartialOutputs(const std::string& directory,
                                             std::vector<std::string>* refused) {
    std::vector<std::string> removed;
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return removed;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!endsWith(name, kRecordSuffix)) continue;
        const std::string record = directory + "/" + name;
        const int fd = ::open(record.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info;
        std::string hidden;
        const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
        // A lock that cannot be taken belongs to a writer that lives.
        if (!regular || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        if (!readRecord(fd, &hidden) || !isPartialOutputName(baseName(hidden))) {
            if (refused) refused->push_back(record + " does not name a partial output; left alone");
            ::close(fd);
            continue;
        }
        if (removePartial(hidden)) removed.push_back(hidden);
        ::unlink(record.c_str());
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}
