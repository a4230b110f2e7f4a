// The store's public operations on jobs, archive files and streams.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <set>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"
#include "platform/local/store/ArchiveWriter.h"
#include "platform/local/store/Cleanup.h"
#include "platform/local/store/JobRemoval.h"
#include "platform/local/store/Store.h"
#include "platform/local/store/StoreAudit.h"

namespace localplatform {

namespace {

// A file never closed tells its size so far only by itself; whether its
// writer lives, by its job's lock.
ArchiveFileRecord described(const Store& store, ArchiveFileRecord record, bool writerAlive) {
    record = store.withFullPath(std::move(record));
    if (record.state == "closed") return record;
    EntryStatus status;
    if (store.storage().status(record.path, &status) && status.kind == EntryStatus::Kind::Regular) {
        record.size = status.size;
    }
    record.writerAlive = writerAlive;
    return record;
}

}  // namespace

CleanupResult cleanup() { return cleanupStore(openedStore()); }

CheckResult check(bool repair) { return auditStore(openedStore(), repair); }

CheckResult check(bool repair, const CheckLimits& limits) {
    return auditStore(openedStore(), repair, limits);
}

DeletionResult deleteJobs(const std::vector<unsigned long long>& jobIds,
                          const DeletionOptions& options) {
    return deleteStoreJobs(openedStore(), jobIds, options);
}

void markJobsDamaged(const std::vector<unsigned long long>& jobIds) {
    markStoreJobsDamaged(openedStore(), jobIds);
}

namespace {

class StoreJobReadHold : public JobReadHold {
public:
    StoreJobReadHold(std::unique_ptr<JobLiveness> liveness, std::unique_ptr<JobLock> lock,
                     std::string state)
        : m_liveness(std::move(liveness)), m_lock(std::move(lock)), m_state(std::move(state)) {}
    const std::string& state() const override { return m_state; }

private:
    // Declared first, destroyed last: the lock may live on its connection.
    std::unique_ptr<JobLiveness> m_liveness;
    std::unique_ptr<JobLock> m_lock;
    const std::string m_state;
};

}  // namespace

// The lock before the state: a deleter marks the job deleting while it holds
// the lock, so a state read under the hold stays true while it lives.
std::unique_ptr<JobReadHold> holdJobForReading(unsigned long long jobId) {
    const auto store = openedStore();
    auto liveness = store->liveness();
    std::unique_ptr<JobLock> lock = liveness->holdForReading(jobId);
    const auto job = store->catalog()->findJob(jobId);
    if (job && job->state == "deleting") {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("job %llu is being deleted; it cannot be restored", jobId));
    }
    if (!lock) {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("job %llu is in use by another command (a deletion, or its "
                                    "backup); it cannot be restored now",
                                    jobId));
    }
    return std::make_unique<StoreJobReadHold>(std::move(liveness), std::move(lock),
                                              job ? job->state : std::string());
}

void beginJob(unsigned long long jobId, const std::string& createdAt) {
    openedStore()->beginJob(jobId, createdAt);
}

void beginJobAgain(unsigned long long jobId, const std::string& createdAt) {
    openedStore()->beginJobAgain(jobId, createdAt);
}

std::vector<ArchiveFileRecord> resumeJob(unsigned long long jobId) {
    return openedStore()->resumeJob(jobId);
}

void completeJob(unsigned long long jobId) { openedStore()->completeJob(jobId); }

void failJob(unsigned long long jobId) noexcept {
    const auto store = context()->store;
    if (!store) {
        platformError(formatText("failJob: no store is open; job %llu is left to cleanup", jobId));
        return;
    }
    store->failJob(jobId);
}

std::vector<JobRecord> listJobs() {
    const auto store = openedStore();
    auto catalog = store->catalog();
    // Jobs and files as one moment left them, so that a job that completes
    // meanwhile is never listed complete beside files still being written.
    std::vector<CatalogJob> catalogJobs;
    std::vector<ArchiveFileRecord> catalogFiles;
    {
        CatalogReadView view(*catalog);
        catalogJobs = catalog->jobs();
        catalogFiles = catalog->archiveFiles();
    }
    auto liveness = store->liveness();
    std::map<unsigned long long, JobRecord> byId;
    std::vector<unsigned long long> order;
    // A job running in the view whose writer is gone now may have ended
    // since: it is read again, with its files, before it is called crashed.
    std::set<unsigned long long> readAgain;
    for (const CatalogJob& job : catalogJobs) {
        JobRecord& record = byId[job.jobId];
        record.jobId = job.jobId;
        record.state = job.state;
        record.createdAt = job.createdAt;
        record.updatedAt = job.updatedAt;
        record.writerAlive = job.state == "running" && !liveness->probe(job.jobId);
        if (job.state == "running" && !record.writerAlive) {
            const auto now = catalog->findJob(job.jobId);
            if (now && now->state != "running") {
                record.state = now->state;
                record.updatedAt = now->updatedAt;
                readAgain.insert(job.jobId);
            }
        }
        order.push_back(job.jobId);
    }
    std::erase_if(catalogFiles, [&](const ArchiveFileRecord& file) {
        return readAgain.count(file.jobId) != 0;
    });
    for (const unsigned long long id : readAgain) {
        for (ArchiveFileRecord& file : catalog->archiveFilesOf(id)) {
            catalogFiles.push_back(std::move(file));
        }
    }
    std::sort(catalogFiles.begin(), catalogFiles.end(),
              [](const ArchiveFileRecord& a, const ArchiveFileRecord& b) {
                  return a.afileId < b.afileId;
              });
    for (ArchiveFileRecord& file : catalogFiles) {
        auto found = byId.find(file.jobId);
        if (found == byId.end()) {
            // A file of a job the catalog lacks: listed under that job, so
            // that nothing is hidden (check reports it).
            JobRecord& record = byId[file.jobId];
            record.jobId = file.jobId;
            record.state = "unknown";
            order.push_back(file.jobId);
            found = byId.find(file.jobId);
        }
        found->second.files.push_back(
            described(*store, std::move(file), found->second.writerAlive));
    }
    std::vector<JobRecord> jobs;
    for (const unsigned long long id : order) jobs.push_back(std::move(byId[id]));
    return jobs;
}

std::vector<ArchiveFileRecord> listArchiveFiles() {
    const auto store = openedStore();
    std::map<unsigned long long, bool> alive;
    std::vector<ArchiveFileRecord> records = store->catalog()->archiveFiles();
    auto liveness = store->liveness();
    for (ArchiveFileRecord& record : records) {
        bool writerAlive = false;
        if (record.state != "closed") {
            const auto known = alive.find(record.jobId);
            writerAlive = known != alive.end()
                              ? known->second
                              : (alive[record.jobId] = !liveness->probe(record.jobId));
        }
        record = described(*store, std::move(record), writerAlive);
    }
    return records;
}

std::optional<ArchiveFileRecord> lookUpArchiveFile(uint32_t trellanId, uint32_t groupNumber,
                                                   uint32_t afileId) {
    const auto store = openedStore();
    const auto found = store->catalog()->findArchiveFile(trellanId, groupNumber, afileId);
    if (!found) return std::nullopt;
    const bool alive = found->state != "closed" && store->jobLockHeld(found->jobId);
    return described(*store, *found, alive);
}

bool archiveDataPresent(const ArchiveFileRecord& record) {
    return openedStore()->storage().exists(record.path);
}

namespace {

class StoredArchiveData : public ArchiveData {
public:
    StoredArchiveData(std::unique_ptr<StorageFile> file, unsigned long long size)
        : m_file(std::move(file)), m_size(size) {}
    unsigned long long size() const override { return m_size; }
    bool readExactly(void* data, std::size_t length, unsigned long long offset) override {
        char* into = static_cast<char*>(data);
        while (length > 0) {
            const ssize_t got = m_file->readAt(into, length, offset);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            into += got;
            length -= static_cast<std::size_t>(got);
            offset += static_cast<unsigned long long>(got);
        }
        return true;
    }

private:
    const std::unique_ptr<StorageFile> m_file;
    const unsigned long long m_size;
};

}  // namespace

std::unique_ptr<ArchiveData> openArchiveData(const ArchiveFileRecord& record, std::string* why) {
    EntryStatus status;
    std::unique_ptr<StorageFile> file =
        openedStore()->storage().openForReading(record.path, &status);
    unsigned long long size = 0;
    if (!file || !file->size(&size)) {
        *why = errno == EINVAL ? "it is not a regular file" : std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<StoredArchiveData>(std::move(file), size);
}

bool findArchiveFile(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId,
                     ArchiveFileRecord* record) {
    try {
        const auto found = lookUpArchiveFile(trellanId, groupNumber, afileId);
        if (found && record) *record = *found;
        return found.has_value();
    } catch (const std::exception& error) {
        platformError(std::string("findArchiveFile: ") + error.what());
        return false;
    }
}

bool createdArchiveFile(unsigned long long jobId, unsigned long stream,
                        ArchiveFileRecord* record) {
    const auto store = context()->store;
    return store && store->writers().created(jobId, stream, record);
}

// The writer is looked up under the registry's lock and written to under its
// own, so that streams write in parallel and a writer being destroyed
// meanwhile only makes the write fail.
bool writeStream(unsigned long long jobId, unsigned long stream, const void* data,
                 std::size_t length, std::string* error) {
    const auto store = context()->store;
    std::shared_ptr<ArchiveWriter> writer = store ? store->writers().find(jobId, stream) : nullptr;
    if (!writer) {
        if (error) {
            *error = formatText("no archive file is open for writing for job %llu stream %lu",
                                jobId, stream);
        }
        return false;
    }
    if (!data && length != 0) {
        if (error) *error = "no data to write";
        return false;
    }
    return writer->write(data, length, error);
}

}  // namespace localplatform
