#pragma once

// Archive files: the catalog's records of them, the data a backup stream
// writes into the file this process created for it, and the data a restore
// reads.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace localplatform {

// The type of a restore data message: ReadBufRet_t::data holds dataLength
// bytes of the stream's archive file, valid until freeBuffer.
constexpr int kDataMessage = 1;

// An archive file as the catalog records it.
struct ArchiveFileRecord {
    uint32_t trellanId = 0;
    uint32_t groupNumber = 0;
    uint32_t afileId = 0;
    unsigned long long jobId = 0;
    unsigned long stream = 0;
    std::string state;               // "writing", "closed" or "invalidated"
    unsigned long long size = 0;     // bytes; for a file never closed, bytes so far
    std::string path;                // the data file, in the open store
    std::string sha256;              // of the data, lower-case hex, once closed
    std::string createdAt;           // UTC, ISO 8601
    std::string updatedAt;
    bool writerAlive = false;        // its job's writer lives (files never closed)
};

// The archive file this process created for the job's stream, from this
// process's own registry (not the catalog). False when it created none.
bool createdArchiveFile(unsigned long long jobId, unsigned long stream,
                        ArchiveFileRecord* record);

// Appends length bytes to the archive file that stream `stream` of job
// `jobId` is writing in this process. False, with *error set, when no such
// stream is open for writing or the write fails.
bool writeStream(unsigned long long jobId, unsigned long stream, const void* data,
                 std::size_t length, std::string* error);

// The catalog's archive files, oldest first. Throws StoreError.
std::vector<ArchiveFileRecord> listArchiveFiles();
// The archive file with this identity, if the catalog has it. False, with a
// log line, when the catalog cannot be read.
bool findArchiveFile(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId,
                     ArchiveFileRecord* record);
// The same, but a catalog that cannot be read (its server down, say) throws
// StoreError instead of looking like a file the store lacks.
std::optional<ArchiveFileRecord> lookUpArchiveFile(uint32_t trellanId, uint32_t groupNumber,
                                                   uint32_t afileId);
// True when the open store holds something at the record's (full) data
// path, looked at without following a link: a file, or an object for a
// store in object storage. False when nothing is there or it cannot be
// looked at. Throws StoreError(NotFound) when no store is open.
bool archiveDataPresent(const ArchiveFileRecord& record);
// The data of one archive file of the open store, opened for reading
// through the store's storage: without following a link and without
// blocking on anything but a regular file (or an object). One object per
// reader; not shared between threads.
class ArchiveData {
public:
    virtual ~ArchiveData() = default;
    virtual unsigned long long size() const = 0;
    // Fills length bytes at offset; false at the data's end or on an error
    // (errno set).
    virtual bool readExactly(void* data, std::size_t length, unsigned long long offset) = 0;
};
// Opens the data at the record's (full) path. Null with *why set (what
// stands there instead, or the error) when it cannot be opened. Throws
// StoreError(NotFound) when no store is open.
std::unique_ptr<ArchiveData> openArchiveData(const ArchiveFileRecord& record, std::string* why);

}  // namespace localplatform
