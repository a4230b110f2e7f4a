// Reading an archive file for the media side.

#include "platform/local/MediaReader.h"

#include <unistd.h>

#include <cerrno>

namespace localplatform {

namespace {

class FileReader final : public MediaReader {
public:
    explicit FileReader(int fd) noexcept : m_fd(fd) {}
    ~FileReader() override { ::close(m_fd); }

    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    ssize_t readAt(char* data, std::size_t length, unsigned long long offset) override {
        std::size_t done = 0;
        while (done < length) {
            const ssize_t count =
                ::pread(m_fd, data + done, length - done, static_cast<off_t>(offset + done));
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) return -1;
            if (count == 0) break;
            done += static_cast<std::size_t>(count);
        }
        return static_cast<ssize_t>(done);
    }

private:
    const int m_fd;
};

}  // namespace

std::shared_ptr<MediaReader> fileReader(int fd) {
    try {
        return std::make_shared<FileReader>(fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
}

}  // namespace localplatform
