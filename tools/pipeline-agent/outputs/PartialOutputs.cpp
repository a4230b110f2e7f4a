#include "outputs/PartialOutputs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
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

// The extended attribute that carries a record's token on its file.
constexpr const char* kTokenAttribute = "user.pipeline-agent.partial";

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// What a record says: the hidden file's path, the token, and the file's
// identity once it was made.
struct Record {
    std::string path;
    std::string token;
    bool identified = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    bool marked = false;  // the token is on the file too
};

// Parses a record read without blocking: "PATH\n", "token HEX\n" and,
// once the file exists, "identity DEVICE INODE MARKED\n".
bool readRecord(int fd, Record* record) {
    char buffer[8193];
    const ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (got <= 0 || buffer[got - 1] != '\n') return false;
    std::istringstream lines(std::string(buffer, static_cast<std::size_t>(got)));
    std::string line;
    if (!std::getline(lines, record->path) || record->path.empty()) return false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "token") {
            words >> record->token;
        } else if (key == "identity") {
            int marked = 0;
            if (!(words >> record->device >> record->inode >> marked)) return false;
            record->identified = true;
            record->marked = marked != 0;
        }
    }
    return true;
}

// Writes all of text at the record's end and makes it durable.
bool appendDurably(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        done += static_cast<std::size_t>(count);
    }
    return ::fsync(fd) == 0;
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
                                         const std::string& hiddenFile, int fd) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw jobFailed("cannot create " + directory + ": " + std::strerror(errno));
    }
    // The directory is the store's: a link in its place is not followed.
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) throw jobFailed("cannot open " + directory + ": " + std::strerror(errno));
    std::random_device random;
    const std::string name = std::to_string(::getpid()) + "-" + std::to_string(random()) +
                             kRecordSuffix;
    m_path = directory + "/" + name;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        m_token += part;
    }
    m_fd = ::openat(dirFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int openError = errno;
    ::close(dirFd);
    if (m_fd < 0) throw jobFailed("cannot create " + m_path + ": " + std::strerror(openError));
    // Absolute, so that a cleanup run from any directory finds it.
    const std::string text = std::filesystem::absolute(hiddenFile).lexically_normal().string() +
                             "\ntoken " + m_token + "\n";
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 || !appendDurably(m_fd, text)) {
        const std::string message = "cannot write " + m_path + ": " + std::strerror(errno);
        ::close(m_fd);
        ::unlink(m_path.c_str());
        throw jobFailed(message);
    }
    m_hiddenFile = hiddenFile;
    if (fd >= 0) {
        try {
            identify(fd);
        } catch (...) {
            ::close(m_fd);
            ::unlink(m_path.c_str());
            throw;
        }
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    live().insert(hiddenFile);
}

void PartialOutputRecord::identify(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        throw jobFailed("cannot look at " + m_hiddenFile + ": " + std::strerror(errno));
    }
    const bool marked =
        ::fsetxattr(fd, kTokenAttribute, m_token.data(), m_token.size(), 0) == 0;
    const std::string line = "identity " + std::to_string(info.st_dev) + " " +
                             std::to_string(info.st_ino) + (marked ? " 1\n" : " 0\n");
    if (!appendDurably(m_fd, line)) {
        throw jobFailed("cannot write " + m_path + ": " + std::strerror(errno));
    }
}

PartialOutputRecord::~PartialOutputRecord() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        live().erase(m_hiddenFile);
    }
    ::unlink(m_path.c_str());
    ::close(m_fd);
}

void clearPartialMark(int fd) { ::fremovexattr(fd, kTokenAttribute); }

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

namespace {

// Removes the hidden file or directory that record names when the entry at
// its path is the very one the record identifies: the same device and
// inode, a regular file or directory, and the token on it where it was set.
// Reached from its directory without following a link at its name. False
// with *why set when it stays; true also when it is gone already (*gone
// set then).
bool removeRecorded(const Record& record, bool* gone, std::string* why) {
    const std::string& path = record.path;
    *gone = false;
    const int dirFd =
        ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (dirFd < 0) {
        *gone = errno == ENOENT;
        if (!*gone) *why = "cannot open the directory of " + path + ": " + std::strerror(errno);
        return *gone;
    }
    const std::string name = baseName(path);
    struct stat info;
    bool removed = false;
    if (::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        removed = *gone = errno == ENOENT;
        if (!removed) *why = "cannot look at " + path + ": " + std::strerror(errno);
    } else if (!record.identified) {
        *why = "records no identity of " + path + "; left alone";
    } else if (static_cast<unsigned long long>(info.st_dev) != record.device ||
               static_cast<unsigned long long>(info.st_ino) != record.inode ||
               !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) {
        *why = path + " is not the file its record identifies; left alone";
    } else {
        const int fd = ::openat(dirFd, name.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC |
                                    (S_ISDIR(info.st_mode) ? O_DIRECTORY : 0));
        struct stat opened;
        char token[128];
        const ssize_t length =
            fd < 0 ? -1 : ::fgetxattr(fd, kTokenAttribute, token, sizeof token);
        if (fd < 0 || ::fstat(fd, &opened) != 0 || opened.st_dev != info.st_dev ||
            opened.st_ino != info.st_ino) {
            *why = path + " changed while it was looked at; left alone";
        } else if (record.marked &&
                   (length < 0 || std::string(token, static_cast<std::size_t>(length)) !=
                                      record.token)) {
            *why = path + " does not carry its record's token; left alone";
        } else if (!record.marked && opened.st_uid != ::geteuid()) {
            // Where the file system takes no token, the file must at least
            // be this user's, as the agent made it.
            *why = path + " is not this user's file; left alone";
        } else if (S_ISDIR(info.st_mode)) {
            removeBelow(fd);
            removed = ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0;
            if (!removed) *why = "cannot remove " + path + ": " + std::strerror(errno);
        } else {
            removed = ::unlinkat(dirFd, name.c_str(), 0) == 0;
            if (!removed) *why = "cannot remove " + path + ": " + std::strerror(errno);
        }
        if (fd >= 0) ::close(fd);
    }
    ::close(dirFd);
    return removed;
}

}  // namespace

std::vector<std::string> sweepPartialOutputs(const std::string& directory,
                                             std::vector<std::string>* refused) {
    std::vector<std::string> removed;
    // The directory is the store's: a link in its place is not followed.
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        if (errno != ENOENT && refused) {
            refused->push_back("cannot open " + directory + ": " + std::strerror(errno) +
                               "; its records left alone");
        }
        return removed;
    }
    DIR* dir = ::fdopendir(::dup(dirFd));
    if (!dir) {
        ::close(dirFd);
        return removed;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (endsWith(name, kRecordSuffix)) names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        const std::string recordPath = directory + "/" + name;
        const int fd =
            ::openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info;
        Record record;
        const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
        // A lock that cannot be taken belongs to a writer that lives.
        if (!regular || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        std::string why;
        bool gone = false;
        if (!readRecord(fd, &record) || !isPartialOutputName(baseName(record.path))) {
            if (refused) refused->push_back(recordPath + " does not name a partial output; left alone");
        } else if (removeRecorded(record, &gone, &why)) {
            if (!gone) removed.push_back(record.path);
            ::unlinkat(dirFd, name.c_str(), 0);
        } else if (refused) {
            refused->push_back(recordPath + ": " + why);
        }
        ::close(fd);
    }
    ::close(dirFd);
    return removed;
}
