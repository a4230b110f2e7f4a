#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes all length bytes of data to fd at offset, then starts writing them
// to the disk without waiting (sync_file_range), so that the fsync that
// makes the file durable finds most of it written: a restore then writes to
// the disk while it still reads and verifies, which a copy followed by a
// sync cannot. Starting the writeback is best effort: what fails to start
// is written, or fails, at the fsync. Thread-safe for ranges that do not
// overlap. Throws AgentError (failed job) "cannot write NAME: <error>".
void writeAllAt(int fd, const void* data, std::size_t length, uint64_t offset,
                const std::string& name);
