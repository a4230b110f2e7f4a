#include "outputs/WriteAt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/AgentError.h"

void writeAllAt(int fd, const void* data, std::size_t length, uint64_t offset,
                const std::string& name) {
    const char* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < length;) {
        const ssize_t written =
            ::pwrite(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (written < 0) {
            if (errno == EINTR) continue;
            throw jobFailed("cannot write " + name + ": " + std::strerror(errno));
        }
        done += static_cast<std::size_t>(written);
    }
    // A length of 0 would name the whole file from offset on.
    if (length == 0) return;
    ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
}
