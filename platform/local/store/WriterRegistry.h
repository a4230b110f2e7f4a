#pragma once

// This process's backup streams in one store: the writer of each (job,
// stream) while its archive object lives, and the record of every file it
// created, which stays after the writer is gone. Internal to the local
// library.

#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/local/ArchiveFiles.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class ArchiveWriter;

// Safe to use from several threads.
class WriterRegistry {
public:
    // Makes writer the one of its (job, stream) and remembers its record.
    void add(const std::shared_ptr<ArchiveWriter>& writer);
    // Forgets writer when it is still the one of its (job, stream); the
    // record stays.
    void remove(const ArchiveWriter* writer);
    // The live writer of (job, stream), or null.
    std::shared_ptr<ArchiveWriter> find(unsigned long long jobId, unsigned long stream) const;
    // True, with *record set when record is not null, when this process
    // created a file for (job, stream).
    bool created(unsigned long long jobId, unsigned long stream, ArchiveFileRecord* record) const;

private:
    using Key = std::pair<unsigned long long, unsigned long>;
    mutable std::mutex m_mutex;
    std::map<Key, std::shared_ptr<ArchiveWriter>> m_writers;
    std::map<Key, ArchiveFileRecord> m_created;
};

}  // namespace localplatform

#pragma GCC visibility pop
