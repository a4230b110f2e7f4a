#include "outputs/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/AgentError.h"
#include "base/Sha256.h"
#include "outputs/PartialOutputs.h"
#include "outputs/WriteAt.h"

namespace {

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string failure(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void syncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw jobFailed(failure("cannot open", directory));
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced) throw jobFailed(failure("cannot flush", directory));
}

// Errors that say the file system has no unnamed files, rather than that the
// directory refuses files of any kind.
bool noUnnamedFiles(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOENT;
}

// The process's umask, read without changing it (umask(2) can only be read
// by setting it, which would race with threads creating files); 022 where
// /proc does not say.
mode_t processUmask() {
    static const mode_t mask = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("Umask:", 0) == 0) {
                return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
            }
        }
        return static_cast<mode_t>(022);
    }();
    return mask;
}

}  // namespace

OutputFile::OutputFile(std::string path, Options options)
    : m_path(std::move(path)),
      m_options(std::move(options)),
      m_mode(m_options.mode >= 0 ? (m_options.mode & 0777)
                                 : static_cast<int>(0666 & ~processUmask())) {
    struct stat info;
    if (::stat(m_path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) throw badInput(m_path + " is a directory");
        if (!m_options.replace) throw badInput(m_path + " already exists; not overwriting it");
    }
    const std::string directory = directoryOf(m_path);
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw badInput("the directory " + directory + " of " + m_path + " does not exist");
    }
    if (!m_options.namedTemporary) {
        m_fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (m_fd >= 0) return;
        if (!noUnnamedFiles(errno)) {
            throw badInput(failure("cannot create a file in", directory));
        }
    }
    std::string name = directory + "/." + baseName(m_path) + ".partial-XXXXXX";
    m_fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (m_fd < 0) throw badInput(failure("cannot create a file in", directory));
    m_temporaryName = name;
    try {
        if (!m_options.recordDirectory.empty()) {
            m_record =
                std::make_unique<PartialOutputRecord>(m_options.recordDirectory, name, m_fd);
        }
    } catch (...) {
        ::close(m_fd);
        ::unlink(m_temporaryName.c_str());
        throw;
    }
}

OutputFile::~OutputFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_temporaryName.empty()) ::unlink(m_temporaryName.c_str());
}

void OutputFile::writeAt(const void* data, std::size_t length, uint64_t offset) {
    writeAllAt(m_fd, data, length, offset, m_path);
    const uint64_t written = offset + length;
    uint64_t end = m_end.load();
    while (written > end && !m_end.compare_exchange_weak(end, written)) {}
}

void OutputFile::append(const std::string& text) { writeAt(text.data(), text.size(), m_end); }

void OutputFile::readAt(void* buffer, std::size_t length, uint64_t offset) const {
    auto* into = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got =
            ::pread(m_fd, into + done, length - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw jobFailed(failure("cannot read back", m_path));
        if (got == 0) throw jobFailed("cannot read back " + m_path + ": it ends early");
        done += static_cast<std::size_t>(got);
    }
}

std::string OutputFile::sha256() const {
    Sha256 digest;
    std::vector<char> buffer(1 << 20);
    for (uint64_t offset = 0;;) {
        const ssize_t got = ::pread(m_fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw jobFailed(failure("cannot read back", m_path));
        if (got == 0) break;
        digest.update(buffer.data(), static_cast<std::size_t>(got));
        offset += static_cast<uint64_t>(got);
    }
    return digest.hex();
}

// An unnamed file gets a name by a link; an existing file is replaced by
// renaming a hidden link over it, so that the path always holds a whole file.
void OutputFile::linkIntoPlace() {
    if (!m_temporaryName.empty()) {
        if (m_options.replace) {
            if (::rename(m_temporaryName.c_str(), m_path.c_str()) != 0) {
                throw jobFailed(failure("cannot move the output to", m_path));
            }
        } else if (::link(m_temporaryName.c_str(), m_path.c_str()) != 0) {
            // A link, not a rename: a file that appeared at the path meanwhile
            // is not overwritten.
            throw jobFailed(failure("cannot give the output its name", m_path));
        } else {
            ::unlink(m_temporaryName.c_str());
        }
        m_temporaryName.clear();
        return;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
    if (!m_options.replace) {
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, m_path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            throw jobFailed(failure("cannot give the output its name", m_path));
        }
        return;
    }
    // Replacing: link under a hidden name, then rename over the old file.
    std::string hidden = directoryOf(m_path) + "/." + baseName(m_path) + ".partial-XXXXXX";
    const int placeholder = ::mkostemp(hidden.data(), O_CLOEXEC);
    if (placeholder < 0) throw jobFailed(failure("cannot create a file beside", m_path));
    ::close(placeholder);
    ::unlink(hidden.c_str());
    std::unique_ptr<PartialOutputRecord> record;
    if (!m_options.recordDirectory.empty()) {
        // The hidden name will be a second name of this very file.
        record = std::make_unique<PartialOutputRecord>(m_options.recordDirectory, hidden, m_fd);
    }
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        throw jobFailed(failure("cannot give the output a name beside", m_path));
    }
    if (::rename(hidden.c_str(), m_path.c_str()) != 0) {
        const std::string message = failure("cannot move the output to", m_path);
        ::unlink(hidden.c_str());
        throw jobFailed(message);
    }
}

void OutputFile::commit() {
    // The mode is set before the file has its name, also for the hidden
    // named file, which mkostemp made 0600.
    if (::fchmod(m_fd, static_cast<mode_t>(m_mode)) != 0) {
        throw jobFailed(failure("cannot set the mode of", m_path));
    }
    if (::fsync(m_fd) != 0) throw jobFailed(failure("cannot flush", m_path));
    linkIntoPlace();
    clearPartialMark(m_fd);
    ::close(m_fd);
    m_fd = -1;
    m_record.reset();
    syncDirectory(directoryOf(m_path));
}
