#pragma once

// The embedded local platform: an implementation of every declaration in
// platform/ on one machine, so that the library runs standalone.
//
// - Archive files are real files in a store directory; a catalog in SQLite
//   (WAL mode) records each file's identity, job, stream, state, size and
//   times. A file enters the catalog as "writing" before its first byte, is
//   "closed" only after its data is durable, and "invalidated" when the
//   archive manager is told so. Restore opens closed files only.
// - Backup streams are numbered in the order their archive files are created
//   within the process and job, which is the order BackupPipelineSetup sets
//   them up (1, 2, ...). The agent writes each stream's data with writeStream.
// - Restore streams talk to an in-process media side: one worker thread per
//   open archive file that reads the file from the sought offset. readBuffer
//   delivers its data as kDataMessage messages, and the pipeline messages
//   132, 133 and 148 after FSR_MSG_CLOSE_ARCHIVE.
// - Log lines go to stderr or a file, stamped with time, process, thread,
//   level and job id. Settings come from an INI file. Pauses are real.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace localplatform {

// The type of a restore data message: ReadBufRet_t::data holds dataLength
// bytes of the stream's archive file, valid until freeBuffer.
constexpr int kDataMessage = 1;

struct Config {
    // Where archive files and the catalog live. Empty: $PIPELINE_STORE, else
    // $XDG_DATA_HOME/pipelinesetup/store, else
    // $HOME/.local/share/pipelinesetup/store. Created on first use.
    std::string storeDir;
    // The settings file. Empty: $PIPELINE_SETTINGS, else
    // <storeDir>/settings.ini.
    std::string settingsFile;
    // Where log lines go. Empty: stderr.
    std::string logFile;
    // Error lines always pass; debug lines pass when their level is at most
    // this. debug() and Debug() lines have level 1, DebugLvl lines their own.
    // -1 keeps errors only.
    int logLevel = 1;
    // The job that EvEvent contexts made from now on belong to.
    unsigned long long jobId = 0;
    // The physical machine's name. Empty: the host name.
    std::string physicalMachine;
    // How long readBuffer waits for a media side that makes no progress
    // before it gives up with 0 and a log line.
    std::chrono::milliseconds mediaTimeout{60000};
    // Media side reads of the archive file are made in chunks of this size.
    std::size_t chunkSize = 256 * 1024;
    // Slows every chunk the media side reads by this much: a stand-in for
    // slow media, for tests of the timeout.
    std::chrono::milliseconds mediaChunkDelay{0};
};

// Replaces the configuration. Takes effect for objects and calls made
// afterwards; call it before a job, not during one.
void configure(const Config& config);
Config configuration();
// The store directory the configuration resolves to.
std::string storeDirectory();

// An archive file as the catalog records it.
struct ArchiveFileRecord {
    uint32_t trellanId = 0;
    uint32_t groupNumber = 0;
    uint32_t afileId = 0;
    unsigned long long jobId = 0;
    unsigned long stream = 0;
    std::string state;               // "writing", "closed" or "invalidated"
    unsigned long long size = 0;     // bytes; for a file never closed, bytes so far
    std::string path;                // the file in the store
    std::string createdAt;           // UTC, ISO 8601
    std::string updatedAt;
    bool writerAlive = false;        // a process still writes it (files never closed)
};

// Appends length bytes to the archive file that stream `stream` of job
// `jobId` is writing in this process. False, with *error set, when no such
// stream is open for writing or the write fails.
bool writeStream(unsigned long long jobId, unsigned long stream, const void* data,
                 std::size_t length, std::string* error);

// The catalog's archive files, oldest first. Throws std::runtime_error when
// the catalog cannot be read.
std::vector<ArchiveFileRecord> listArchiveFiles();
// The archive file with this identity, if the catalog has it.
bool findArchiveFile(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId,
                     ArchiveFileRecord* record);
// The archive file most recently created for this job and stream, if any.
bool findStreamArchiveFile(unsigned long long jobId, unsigned long stream,
                           ArchiveFileRecord* record);
// Removes the archive files of invalidated jobs and those left "writing" by a
// writer that is gone (a crashed or failed job), with their catalog records.
// Returns what it removed. Throws std::runtime_error on catalog failure.
std::vector<ArchiveFileRecord> cleanup();

}  // namespace localplatform
