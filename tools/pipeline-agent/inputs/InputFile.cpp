#include "inputs/InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/AgentError.h"

InputFile::InputFile(const std::string& path) : m_path(path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) throw badInput("cannot read input " + path + ": " + std::strerror(errno));
    struct stat info;
    if (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(m_fd);
        throw badInput("input " + path + " is not a regular file");
    }
    m_size = static_cast<uint64_t>(info.st_size);
    m_mode = static_cast<int>(info.st_mode & 0777);
}

InputFile::~InputFile() { ::close(m_fd); }

void InputFile::readAt(char* data, std::size_t length, uint64_t offset) const {
    while (length > 0) {
        const ssize_t got = ::pread(m_fd, data, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            throw jobFailed("cannot read input " + m_path + ": " +
                            (got == 0 ? "it shrank while being read" : std::strerror(errno)));
        }
        data += got;
        length -= static_cast<std::size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
}
