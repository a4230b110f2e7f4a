#include "outputs/Writeback.h"

#include <fcntl.h>

void startWriteback(int fd, uint64_t offset, std::size_t length) {
    ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
}
