#pragma once

// The description that each archive file N.arch keeps beside it, N.meta: a
// few "key=value" lines written exclusively when the file is created
// (format, identity, job, stream, creation time) and, when the file is
// closed, one more line appended with its closing time, size and SHA-256.
// The lines are never rewritten; a later value of a key wins.

#include <cstdint>
#include <string>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/storage/Storage.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

struct Sidecar {
    unsigned format = 0;
    uint32_t trellanId = 0;
    uint32_t groupNumber = 0;
    uint32_t afileId = 0;
    unsigned long long jobId = 0;
    unsigned long stream = 0;
    std::string createdAt;
    bool closed = false;  // a closing line was written
    unsigned long long size = 0;
    std::string sha256;
    std::string closedAt;
};

// The lines written at creation, for a record with its identity, job,
// stream and creation time.
std::string sidecarHeader(const ArchiveFileRecord& record);
// The line appended at the close.
std::string sidecarClosing(unsigned long long size, const std::string& sha256);

// Reads the sidecar at path without blocking (a regular file only, of a
// bounded size). False with *why set when it cannot be read or parsed.
bool readSidecar(Storage& storage, const std::string& path, Sidecar* sidecar, std::string* why);

}  // namespace localplatform

#pragma GCC visibility pop
