#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "platform/local/Catalog.h"
#include "platform/local/LocalPlatform.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// The archive file that one backup stream writes. The writer holds an
// exclusive flock on the file from its creation until the writer is
// released, so that anyone can tell a live writer from a dead one (see
// WriterLockProbe). Safe to use from several threads.
class ArchiveWriter {
public:
    // Enters a "writing" file in the store's catalog and creates its data
    // file, locked, in the same write transaction: once the record is
    // visible, its writer's lock is already held. Throws std::runtime_error
    // on failure, leaving no record behind.
    static std::shared_ptr<ArchiveWriter> create(const std::string& storeDir,
                                                 const NewArchiveFile& file);
    ~ArchiveWriter();

    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // The catalog record as it was created.
    const ArchiveFileRecord& record() const { return m_record; }

    // Appends all length bytes. False, with *error set, when the file is no
    // longer open or the write fails; the bytes that made it are counted.
    bool write(const void* data, std::size_t length, std::string* error);
    // Bytes written so far.
    unsigned long long written() const;
    // Makes the data durable (the file and its directory entry), then marks
    // the file closed in the catalog with its size and closes it. False, with
    // *error set, when a step fails or the file is no longer "writing" in the
    // catalog; the file then stays open.
    bool close(std::string* error);
    // Closes the file, releasing the lock, and leaves the catalog alone.
    void release();

private:
    ArchiveWriter(int fd, std::string storeDir, ArchiveFileRecord record);

    const std::string m_storeDir;
    const ArchiveFileRecord m_record;
    mutable std::mutex m_mutex;
    int m_fd;
    unsigned long long m_written = 0;
};

// The stream number for the next archive file of the job in this process:
// 1 + the files created for it so far. returnStreamNumber gives back a
// number whose file could not be created, if no later one was handed out.
unsigned long takeStreamNumber(unsigned long long jobId);
void returnStreamNumber(unsigned long long jobId, unsigned long stream);

// Makes writer the one that writeStream reaches for the job's stream;
// unregisterStream undoes that if writer is still the one.
void registerStream(unsigned long long jobId, unsigned long stream,
                    std::shared_ptr<ArchiveWriter> writer);
void unregisterStream(unsigned long long jobId, unsigned long stream, const ArchiveWriter* writer);

// Tries to take an archive file's writer lock without waiting, and holds it
// while the probe lives: a file whose lock cannot be taken has a live writer,
// and one whose lock the probe holds can get none until the probe ends.
class WriterLockProbe {
public:
    explicit WriterLockProbe(const std::string& path);
    ~WriterLockProbe();

    WriterLockProbe(const WriterLockProbe&) = delete;
    WriterLockProbe& operator=(const WriterLockProbe&) = delete;

    bool fileExists() const { return m_exists; }
    // The file exists and its lock is held elsewhere (or, for a file that
    // cannot even be opened, cannot be ruled out).
    bool writerAlive() const { return m_exists && m_fd < 0; }
    // The file's size when it exists.
    unsigned long long size() const { return m_size; }

private:
    int m_fd = -1;
    bool m_exists = false;
    unsigned long long m_size = 0;
};

}  // namespace localplatform

#pragma GCC visibility pop
