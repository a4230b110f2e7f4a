#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AgentError.h"

namespace {

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string failure(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

OutputFile::OutputFile(std::string path, bool replace)
    : m_path(std::move(path)), m_fd(-1), m_end(0) {
    struct stat info;
    if (!replace && ::stat(m_path.c_str(), &info) == 0) {
        throw badInput(m_path + " already exists; not overwriting it");
    }
    std::vector<char> name(m_path.begin(), m_path.end());
    const std::string suffix = ".partial-XXXXXX";
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    m_fd = ::mkstemp(name.data());
    if (m_fd < 0) throw badInput(failure("cannot create a file in", directoryOf(m_path)));
    m_temporaryPath = name.data();
}

OutputFile::~OutputFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_temporaryPath.empty()) ::unlink(m_temporaryPath.c_str());
}

void OutputFile::writeAt(const void* data, std::size_t length, uint64_t offset) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = ::pwrite(m_fd, bytes, length, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            throw jobFailed(failure("cannot write", m_temporaryPath));
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
        offset += static_cast<uint64_t>(written);
    }
    if (offset > m_end) m_end = offset;
}

void OutputFile::append(const std::string& text) { writeAt(text.data(), text.size(), m_end); }

void OutputFile::commit() {
    if (::fsync(m_fd) != 0) throw jobFailed(failure("cannot flush", m_temporaryPath));
    ::close(m_fd);
    m_fd = -1;
    if (::rename(m_temporaryPath.c_str(), m_path.c_str()) != 0) {
        throw jobFailed(failure("cannot move the output to", m_path));
    }
    m_temporaryPath.clear();
    // The rename is durable once the directory is.
    const int directory = ::open(directoryOf(m_path).c_str(), O_RDONLY | O_DIRECTORY);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
}
