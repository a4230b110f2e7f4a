#include "outputs/TreeOutput.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "base/AgentError.h"
#include "base/RelativePath.h"
#include "outputs/PartialOutputs.h"

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string errorText() { return std::strerror(errno); }

// Closes a descriptor when it goes.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int f = -1) : fd(f) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void reset(int f = -1) {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
};

timespec timeOf(int64_t ns) {
    timespec t;
    t.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    t.tv_nsec = static_cast<long>(ns % 1000000000LL);
    if (t.tv_nsec < 0) {
        t.tv_nsec += 1000000000L;
        t.tv_sec -= 1;
    }
    return t;
}

int modeOf(const TreeOutputEntry& entry) {
    if (entry.mode >= 0) return entry.mode & 0777;
    return entry.kind == TreeOutputEntry::Kind::Directory ? 0755 : 0644;
}

// Gives an open file or directory its entry's mode and time.
void settle(int fd, const TreeOutputEntry& entry, const std::string& where) {
    if (::fchmod(fd, static_cast<mode_t>(modeOf(entry))) != 0) {
        throw jobFailed("cannot set the mode of " + where + ": " + errorText());
    }
    if (entry.hasMtime) {
        const timespec times[2] = {{0, UTIME_OMIT}, timeOf(entry.mtime)};
        if (::futimens(fd, times) != 0) {
            throw jobFailed("cannot set the time of " + where + ": " + errorText());
        }
    }
}

}  // namespace

TreeOutput::TreeOutput(std::string outputDirectory, std::vector<TreeOutputEntry> entries,
                       Options options)
    : m_output(std::move(outputDirectory)),
      m_entries(std::move(entries)),
      m_options(std::move(options)) {
    try {
        check();
    } catch (...) {
        if (m_outputFd >= 0) ::close(m_outputFd);
        throw;
    }
}

TreeOutput::~TreeOutput() {
    if (!m_committed) discard();
    if (m_stagingFd >= 0) ::close(m_stagingFd);
    if (m_outputFd >= 0) ::close(m_outputFd);
}

std::string TreeOutput::finalPath(std::size_t index) const {
    return m_output + "/" + m_entries[index].path;
}

int TreeOutput::openBelow(int base, const std::string& dir) {
    if (dir.empty()) return ::openat(base, ".", kDirectoryFlags);
    int fd = base;
    for (const std::string& part : pathParts(dir)) {
        const int next = ::openat(fd, part.c_str(), kDirectoryFlags);
        const int error = errno;
        if (fd != base) ::close(fd);
        if (next < 0) {
            errno = error;
            return -1;
        }
        fd = next;
    }
    return fd;
}

int TreeOutput::openInStaging(const std::string& dir) const {
    const int fd = openBelow(m_stagingFd, dir);
    if (fd < 0) {
        throw jobFailed("cannot open " + printablePath(m_stagingPath + "/" + dir) + ": " +
                        errorText());
    }
    return fd;
}

void TreeOutput::check() {
    m_outputFd = ::open(m_output.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_outputFd < 0) {
        throw badInput("cannot open the output directory " + m_output + ": " + errorText());
    }
    if (::faccessat(m_outputFd, ".", W_OK, AT_EACCESS) != 0) {
        throw badInput("the output directory " + m_output + " cannot be written");
    }
    m_states.assign(m_entries.size(), State::New);
    m_tops.assign(m_entries.size(), false);
    m_replace.assign(m_entries.size(), false);
    std::map<std::string, std::size_t> index;
    // The directory last looked in, open.
    std::string openDir;
    Descriptor openFd;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const TreeOutputEntry& entry = m_entries[i];
        const std::string problem = relativePathProblem(entry.path);
        if (!problem.empty()) {
            throw badInput("the path \"" + printablePath(entry.path) + "\" " + problem);
        }
        if (!index.emplace(entry.path, i).second) {
            throw badInput("the path \"" + printablePath(entry.path) + "\" is named twice");
        }
        const std::string parent = parentPath(entry.path);
        if (!parent.empty()) {
            const auto found = index.find(parent);
            if (found == index.end() ||
                m_entries[found->second].kind != TreeOutputEntry::Kind::Directory) {
                throw badInput("the directory of \"" + printablePath(entry.path) +
                               "\" is not restored before it");
            }
            if (m_states[found->second] == State::New) continue;  // so is this one
        }
        if (openDir != parent || openFd.fd < 0) {
            openFd.reset(openBelow(m_outputFd, parent));
            openDir = parent;
            if (openFd.fd < 0) {
                throw badInput("cannot open " + printablePath(m_output + "/" + parent) +
                               " without following a link: " + errorText());
            }
        }
        const std::string place = printablePath(finalPath(i));
        struct stat info;
        if (::fstatat(openFd.fd, lastPart(entry.path).c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) throw badInput("cannot look at " + place + ": " + errorText());
            m_tops[i] = true;
            if (::faccessat(openFd.fd, ".", W_OK, AT_EACCESS) != 0) {
                throw badInput("the directory " + printablePath(m_output + "/" + parent) +
                               " cannot be written");
            }
            continue;
        }
        if (entry.kind == TreeOutputEntry::Kind::Directory) {
            if (S_ISLNK(info.st_mode)) {
                throw badInput(place +
                               " is a symbolic link; the restore would pass through it, and it "
                               "follows no link");
            }
            if (!S_ISDIR(info.st_mode)) throw badInput(place + " exists and is not a directory");
            m_states[i] = State::Existing;
            continue;
        }
        if (S_ISDIR(info.st_mode)) throw badInput(place + " is a directory");
        if (!m_options.replace) throw badInput(place + " already exists; not overwriting it");
        m_tops[i] = true;
        m_replace[i] = true;
    }
}

void TreeOutput::prepare() {
    makeStaging();
    makeScaffolding();
    makeEmptyEntries();
}

void TreeOutput::makeStaging() {
    // The record first, so that no kill leaves a hidden directory unrecorded.
    std::random_device random;
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0;; ++attempt) {
        std::string name = ".restore.partial-";
        for (int k = 0; k < 6; ++k) name += kLetters[random() % (sizeof kLetters - 1)];
        const std::string path = m_output + "/" + name;
        if (!m_options.recordDirectory.empty()) {
            m_record = std::make_unique<PartialOutputRecord>(m_options.recordDirectory, path);
        }
        addLivePartial(path);
        if (::mkdirat(m_outputFd, name.c_str(), 0700) == 0) {
            m_stagingName = name;
            m_stagingPath = path;
            break;
        }
        removeLivePartial(path);
        const int error = errno;
        m_record.reset();
        if (error != EEXIST || attempt == 100) {
            throw jobFailed("cannot create a directory in " + m_output + ": " +
                            std::strerror(error));
        }
    }
    m_stagingFd = ::openat(m_outputFd, m_stagingName.c_str(), kDirectoryFlags);
    if (m_stagingFd < 0) throw jobFailed("cannot open " + m_stagingPath + ": " + errorText());
    if (m_record) m_record->identify(m_stagingFd);
}

void TreeOutput::makeScaffolding() {
    std::set<std::string> made;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (!m_tops[i]) continue;
        const std::string parent = parentPath(m_entries[i].path);
        if (parent.empty()) continue;
        std::string sofar;
        for (const std::string& part : pathParts(parent)) {
            sofar = sofar.empty() ? part : sofar + "/" + part;
            if (!made.insert(sofar).second) continue;
            if (::mkdirat(m_stagingFd, sofar.c_str(), 0700) != 0 && errno != EEXIST) {
                throw jobFailed("cannot create " + m_stagingPath + "/" + printablePath(sofar) +
                                ": " + errorText());
            }
            m_scaffolding.push_back(sofar);
        }
    }
}

void TreeOutput::makeEmptyEntries() {
    std::string openDir;
    Descriptor openFd;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const TreeOutputEntry& entry = m_entries[i];
        if (m_states[i] != State::New || entry.kind == TreeOutputEntry::Kind::Symlink) continue;
        if (entry.kind == TreeOutputEntry::Kind::File && entry.size != 0) continue;
        const std::string parent = parentPath(entry.path);
        if (openDir != parent || openFd.fd < 0) {
            openFd.reset(openInStaging(parent));
            openDir = parent;
        }
        const std::string name = lastPart(entry.path);
        if (entry.kind == TreeOutputEntry::Kind::Directory) {
            if (::mkdirat(openFd.fd, name.c_str(), 0700) != 0) {
                throw jobFailed("cannot create " + printablePath(finalPath(i)) + ": " +
                                errorText());
            }
            continue;
        }
        const int fd = ::openat(openFd.fd, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            throw jobFailed("cannot create " + printablePath(finalPath(i)) + ": " + errorText());
        }
        finishFile(i, fd);
    }
}

std::shared_ptr<const int> TreeOutput::stagingDirectory(const std::string& dir) {
    constexpr std::size_t kCached = 64;
    {
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        const auto found = m_directories.find(dir);
        if (found != m_directories.end()) return found->second;
    }
    // Closed when the last user lets it go, in or out of the cache.
    std::shared_ptr<const int> opened(new int(openInStaging(dir)), [](const int* fd) {
        ::close(*fd);
        delete fd;
    });
    std::lock_guard<std::mutex> lock(m_cacheMutex);
    if (m_directories.size() >= kCached) m_directories.clear();
    m_directories.emplace(dir, opened);
    return opened;
}

int TreeOutput::openFile(std::size_t index) {
    const TreeOutputEntry& entry = m_entries[index];
    const std::shared_ptr<const int> parent = stagingDirectory(parentPath(entry.path));
    const int fd = ::openat(*parent, lastPart(entry.path).c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw jobFailed("cannot create " + printablePath(finalPath(index)) + ": " + errorText());
    }
    return fd;
}

void TreeOutput::finishFile(std::size_t index, int fd) {
    Descriptor file(fd);
    settle(fd, m_entries[index], printablePath(finalPath(index)));
    if (::close(file.fd) != 0) {
        file.fd = -1;
        throw jobFailed("cannot write " + printablePath(finalPath(index)) + ": " + errorText());
    }
    file.fd = -1;
}

void TreeOutput::commit() {
    m_directories.clear();
    makeLinks();
    settleNewDirectories();
    // Every byte and name durable before anything appears.
    if (::syncfs(m_stagingFd) != 0) {
        throw jobFailed("cannot flush the restored files in " + m_output + ": " + errorText());
    }
    moveTopsIntoPlace();
    if (::syncfs(m_outputFd) != 0) {
        throw jobFailed("cannot flush the output directory " + m_output + ": " + errorText());
    }
    m_committed = true;
    for (auto it = m_scaffolding.rbegin(); it != m_scaffolding.rend(); ++it) {
        ::unlinkat(m_stagingFd, it->c_str(), AT_REMOVEDIR);
    }
    ::close(m_stagingFd);
    m_stagingFd = -1;
    if (::unlinkat(m_outputFd, m_stagingName.c_str(), AT_REMOVEDIR) != 0) {
        removeDirectoryTree(m_stagingPath);
    }
    removeLivePartial(m_stagingPath);
    m_record.reset();
}

void TreeOutput::makeLinks() {
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const TreeOutputEntry& entry = m_entries[i];
        if (entry.kind != TreeOutputEntry::Kind::Symlink) continue;
        Descriptor parent(openInStaging(parentPath(entry.path)));
        if (::symlinkat(entry.target.c_str(), parent.fd, lastPart(entry.path).c_str()) != 0) {
            throw jobFailed("cannot create the link " + printablePath(finalPath(i)) + ": " +
                            errorText());
        }
        if (entry.hasMtime) {
            const timespec times[2] = {{0, UTIME_OMIT}, timeOf(entry.mtime)};
            if (::utimensat(parent.fd, lastPart(entry.path).c_str(), times, AT_SYMLINK_NOFOLLOW) !=
                0) {
                throw jobFailed("cannot set the time of " + printablePath(finalPath(i)) + ": " +
                                errorText());
            }
        }
    }
}

void TreeOutput::settleNewDirectories() {
    for (std::size_t i = m_entries.size(); i-- > 0;) {
        const TreeOutputEntry& entry = m_entries[i];
        if (entry.kind != TreeOutputEntry::Kind::Directory || m_states[i] != State::New ||
            m_tops[i]) {
            continue;
        }
        Descriptor dir(openInStaging(entry.path));
        settle(dir.fd, entry, printablePath(finalPath(i)));
    }
}

void TreeOutput::moveTopsIntoPlace() {
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (!m_tops[i]) continue;
        const TreeOutputEntry& entry = m_entries[i];
        const std::string parentDir = parentPath(entry.path);
        const std::string name = lastPart(entry.path);
        const std::string place = printablePath(finalPath(i));
        Descriptor from(openInStaging(parentDir));
        Descriptor to(openBelow(m_outputFd, parentDir));
        if (to.fd < 0) {
            throw jobFailed("cannot open " + printablePath(m_output + "/" + parentDir) +
                            " without following a link: " + errorText());
        }
        const unsigned int flags = m_replace[i] ? 0 : RENAME_NOREPLACE;
        if (::renameat2(from.fd, name.c_str(), to.fd, name.c_str(), flags) != 0) {
            throw jobFailed("cannot move " + place + " into place: " + errorText());
        }
        if (entry.kind == TreeOutputEntry::Kind::Directory) {
            // Moved first: a directory moved to another one must be writable.
            Descriptor dir(::openat(to.fd, name.c_str(), kDirectoryFlags));
            if (dir.fd < 0) throw jobFailed("cannot open " + place + ": " + errorText());
            settle(dir.fd, entry, place);
        }
    }
}

void TreeOutput::discard() {
    m_directories.clear();
    if (m_stagingPath.empty()) return;
    if (m_stagingFd >= 0) {
        ::close(m_stagingFd);
        m_stagingFd = -1;
    }
    removeDirectoryTree(m_stagingPath);
    removeLivePartial(m_stagingPath);
    m_record.reset();
}
