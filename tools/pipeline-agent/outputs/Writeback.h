#pragma once

#include <cstddef>
#include <cstdint>

// Starts writing the pages of [offset, offset + length) of fd to the disk
// without waiting for them (sync_file_range), so that the fsync that makes
// the file durable finds most of it written: a restore then writes to the
// disk while it still reads and verifies, which a copy followed by a sync
// cannot. Best effort: what fails to start is written, or fails, at the
// fsync. Thread-safe.
void startWriteback(int fd, uint64_t offset, std::size_t length);
