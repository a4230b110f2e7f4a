#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>

#include "platform/local/storage/Storage.h"

// Internal to the library and not installed, but exported so that the
// tests can drive it directly.

namespace localplatform {

// Where the media side's read-ahead takes an archive file's bytes from. The
// media side shares it with its read-ahead workers: a worker abandoned in a
// read keeps it alive until that read returns, however long after the media
// side is gone.
class MediaReader {
public:
    virtual ~MediaReader() = default;

    // Reads length bytes at offset into data, fewer only at the end of the
    // file. Returns the count, or -1 with errno set on failure. May block
    // without limit; may be called from several threads at once.
    virtual ssize_t readAt(char* data, std::size_t length, unsigned long long offset) = 0;
};

// A reader of an archive file open for reading: takes the file over, and
// closes it when the last owner lets go of the reader.
std::shared_ptr<MediaReader> fileReader(std::unique_ptr<StorageFile> file);

}  // namespace localplatform
