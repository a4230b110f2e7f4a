// Looking through the store, and clearing it of what failed jobs left.

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "platform/local/ArchiveWriter.h"
#include "platform/local/Catalog.h"
#include "platform/local/LocalPlatform.h"
#include "platform/local/LocalState.h"

namespace localplatform {

namespace {

// Adds what only the file can tell about a file that was never closed (still
// being written, or invalidated): its size so far and whether its writer
// lives. The catalog records sizes at the close only.
ArchiveFileRecord withWriter(ArchiveFileRecord record) {
    if (record.state == "closed") return record;
    const WriterLockProbe probe(record.path);
    record.size = probe.size();
    record.writerAlive = probe.writerAlive();
    return record;
}

}  // namespace

std::vector<ArchiveFileRecord> listArchiveFiles() {
    std::vector<ArchiveFileRecord> records = Catalog(storeDirectory()).list();
    for (ArchiveFileRecord& record : records) record = withWriter(std::move(record));
    return records;
}

bool findArchiveFile(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId,
                     ArchiveFileRecord* record) {
    try {
        const auto found = Catalog(storeDirectory()).find(trellanId, groupNumber, afileId);
        if (found && record) *record = withWriter(*found);
        return found.has_value();
    } catch (const std::exception& error) {
        platformError(std::string("findArchiveFile: ") + error.what());
        return false;
    }
}

bool findStreamArchiveFile(unsigned long long jobId, unsigned long stream,
                           ArchiveFileRecord* record) {
    try {
        const auto found = Catalog(storeDirectory()).findLatest(jobId, stream);
        if (found && record) *record = withWriter(*found);
        return found.has_value();
    } catch (const std::exception& error) {
        platformError(std::string("findStreamArchiveFile: ") + error.what());
        return false;
    }
}

// Runs in one write transaction, so that no archive file is created while
// the store is looked through. Each file's writer lock is held while the file
// goes; the file goes before its record, so that a failure halfway leaves a
// record of a missing file, which the next cleanup removes.
std::vector<ArchiveFileRecord> cleanup() {
    Catalog catalog(storeDirectory());
    Catalog::Transaction transaction(catalog);
    std::vector<ArchiveFileRecord> removed;
    for (ArchiveFileRecord& record : catalog.list()) {
        if (record.state == "closed") continue;
        const WriterLockProbe probe(record.path);
        if (probe.writerAlive()) continue;
        if (probe.fileExists() && ::unlink(record.path.c_str()) != 0 && errno != ENOENT) {
            throw std::runtime_error("cannot remove " + record.path + ": " + std::strerror(errno));
        }
        catalog.remove(record.afileId);
        record.size = probe.size();
        removed.push_back(std::move(record));
    }
    transaction.commit();
    for (const ArchiveFileRecord& record : removed) {
        platformDebug(formatText("cleanup removed %s archive file (%u, %u, %u) of job %llu",
                                 record.state.c_str(), record.trellanId, record.groupNumber,
                                 record.afileId, record.jobId));
    }
    return removed;
}

}  // namespace localplatform
