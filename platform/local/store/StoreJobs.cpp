// A store's jobs: their liveness locks held while this process writes them,
// their completion markers in jobs/, and their states in the catalog.

#include <algorithm>
#include <cerrno>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/StepHooks.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/store/AuditScan.h"
#include "platform/local/store/Cleanup.h"
#include "platform/local/store/Sidecar.h"
#include "platform/local/store/Store.h"

namespace localplatform {

std::string Store::markerPath(unsigned long long jobId) const {
    return jobsDirectory() + "/" + std::to_string(jobId) + ".complete";
}

std::string Store::manifestPath(unsigned long long jobId) const {
    return jobsDirectory() + "/" + std::to_string(jobId) + ".manifest.json";
}

bool Store::completionMarked(unsigned long long jobId) const {
    return m_storage->exists(markerPath(jobId));
}

bool Store::jobLockHeld(unsigned long long jobId) const {
    return liveness()->probe(jobId) == nullptr;
}

void Store::beginJob(unsigned long long jobId, const std::string& createdAt) {
    requireWritable("beginJob");
    std::lock_guard<std::mutex> lock(m_mutex);
    beginLocked(jobId, createdAt);
}

void Store::joinJob(unsigned long long jobId) {
    requireWritable("beginJob");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_locks.count(jobId) == 0) beginLocked(jobId);
}

// The catalog is asked first, so that a known job is refused without
// touching its lock; the lock is taken before the job is entered, so that
// once the entry is visible its liveness is decided by the lock.
void Store::beginLocked(unsigned long long jobId, const std::string& createdAt) {
    const auto known = [jobId](const std::string& how) {
        throw StoreError(StoreError::Kind::JobExists,
                         formatText("the store already has job %llu (%s)", jobId, how.c_str()));
    };
    if (m_locks.count(jobId)) known("begun by this process");
    auto connection = catalog();
    if (const auto job = connection->findJob(jobId)) known(job->state);
    if (completionMarked(jobId)) known("complete");
    std::unique_ptr<JobLock> held = liveness()->holdForWriting(jobId);
    if (!held) known("running in another process");
    CatalogTransaction transaction(*connection);
    if (!connection->insertJob(CatalogJob{jobId, "running", createdAt, ""})) {
        known("just begun elsewhere");
    }
    transaction.commit();
    m_locks[jobId] = std::move(held);
    crashPoint("job begun");
}

// As beginLocked, for a failed job that a cleanup emptied: the lock first,
// then the job entered anew, in one transaction that sees no file of it.
void Store::beginJobAgain(unsigned long long jobId, const std::string& createdAt) {
    requireWritable("beginJobAgain");
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto refused = [jobId](const std::string& why) {
        throw StoreError(StoreError::Kind::JobExists,
                         formatText("the store already has job %llu (%s)", jobId, why.c_str()));
    };
    if (m_locks.count(jobId)) refused("begun by this process");
    if (completionMarked(jobId)) refused("complete");
    std::unique_ptr<JobLock> held = liveness()->holdForWriting(jobId);
    if (!held) refused("running in another process");
    auto connection = catalog();
    CatalogTransaction transaction(*connection);
    const auto job = connection->findJob(jobId);
    if (!job || job->state != "failed") refused(job ? job->state : "not in the catalog");
    if (!connection->archiveFilesOf(jobId).empty()) {
        refused("failed, with archive files a cleanup has not removed yet");
    }
    connection->removeJob(jobId);
    if (!connection->insertJob(CatalogJob{jobId, "running", createdAt, ""})) {
        refused("just begun elsewhere");
    }
    transaction.commit();
    m_locks[jobId] = std::move(held);
    crashPoint("job begun");
}

// The lock first, so that no cleanup settles the job meanwhile, then its
// state under it. Each file being written is closed as ArchiveWriter::close
// closes one: its description first (unless a take-over cut short closed
// it already, with the same size and digest), then the catalog.
std::vector<ArchiveFileRecord> Store::resumeJob(unsigned long long jobId) {
    requireWritable("resumeJob");
    if (!m_storage->showsUnfinishedFiles()) {
        throw StoreError(StoreError::Kind::Unusable,
                         formatText("job %llu cannot be taken over: the files a killed job was "
                                    "writing in object storage are uploads never finished",
                                    jobId));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto refused = [jobId](const std::string& why) {
        throw StoreError(StoreError::Kind::JobExists,
                         formatText("job %llu cannot be taken over: %s", jobId, why.c_str()));
    };
    if (m_locks.count(jobId)) refused("this process writes it");
    if (completionMarked(jobId)) refused("it is complete");
    std::unique_ptr<JobLock> held = liveness()->holdForWriting(jobId);
    if (!held) refused("its writer still runs");
    auto connection = catalog();
    const auto job = connection->findJob(jobId);
    if (!job) refused("the store has no such job");
    if (job->state != "running") refused("it is " + job->state);
    // A manifest its writer kept before it died completed nothing: the job
    // keeps the one written when it completes.
    if (m_storage->exists(manifestPath(jobId)) && !m_storage->remove(manifestPath(jobId))) {
        throw StoreError(StoreError::Kind::Failed,
                         systemError("cannot remove", manifestPath(jobId)));
    }
    // What a creation its writer died in left is no file of the job.
    const CleanupResult leftovers = removeUnenteredFilesOf(*this, jobId);
    if (!leftovers.refused.empty()) {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("job %llu cannot be taken over: %s", jobId,
                                    leftovers.refused.front().c_str()));
    }
    std::vector<ArchiveFileRecord> files = connection->archiveFilesOf(jobId);
    unsigned long last = 0;
    for (ArchiveFileRecord& file : files) {
        last = std::max(last, file.stream);
        if (file.state == "closed") continue;
        if (file.state != "writing") {
            throw StoreError(
                StoreError::Kind::Failed,
                formatText("job %llu cannot be taken over: its %s is %s", jobId,
                           archiveFileName(file.trellanId, file.groupNumber, file.afileId).c_str(),
                           file.state.c_str()));
        }
        closeAsItStands(file);
    }
    m_locks[jobId] = std::move(held);
    m_numbering.continueAfter(jobId, last);
    crashPoint("job taken over");
    return files;
}

void Store::closeAsItStands(ArchiveFileRecord& file) {
    std::string full, why, sha256;
    unsigned long long size = 0;
    const CheckLimits unbounded;
    audit::Scan scan(unbounded);
    if (!resolve(file.path, &full, &why) ||
        !audit::hashData(*this, full, scan, &sha256, &size, &why)) {
        throw StoreError(StoreError::Kind::Failed, why);
    }
    const std::string sidecarFile = sidecarPath(file.afileId);
    Sidecar sidecar;
    if (!readSidecar(*m_storage, sidecarFile, &sidecar, &why)) {
        throw StoreError(StoreError::Kind::Failed, why);
    }
    if (sidecar.closed && (sidecar.size != size || sidecar.sha256 != sha256)) {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("%s was closed at %llu bytes of SHA-256 %s; its data holds "
                                    "%llu of %s",
                                    sidecarFile.c_str(), sidecar.size, sidecar.sha256.c_str(),
                                    size, sha256.c_str()));
    }
    if (!sidecar.closed) {
        const std::unique_ptr<StorageFile> appended =
            m_storage->openForAppending(sidecarFile, m_modes);
        const std::string closing = sidecarClosing(size, sha256);
        if (!appended || !appended->append(closing.data(), closing.size(), nullptr) ||
            !appended->sync()) {
            throw StoreError(StoreError::Kind::Failed, systemError("cannot write", sidecarFile));
        }
        crashPoint("description closed");
    }
    auto connection = catalog();
    CatalogTransaction transaction(*connection);
    if (!connection->markClosed(file.afileId, size, sha256)) {
        throw StoreError(
            StoreError::Kind::Failed,
            "archive file " + file.path + " is no longer being written in the catalog");
    }
    transaction.commit();
    crashPoint("catalog commit");
    file.state = "closed";
    file.size = size;
    file.sha256 = sha256;
}

// The marker first: once it is durable the job is complete, whatever
// happens to the catalog afterwards (cleanup and repair go by the marker).
// All of it happens inside one write transaction of the catalog, whose lock
// cleanup takes too before it settles a job it finds without a writer: so a
// job is either complete before cleanup looks at it, or cleanup has marked
// it failed and it is refused here, never both. A writer that lost its
// liveness lock (its connection to the catalog's server dropped) is refused
// too, since a cleanup may have taken the job meanwhile.
void Store::completeJob(unsigned long long jobId) {
    requireWritable("completeJob");
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_locks.find(jobId);
    if (found == m_locks.end()) {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("completeJob: job %llu was not begun by this process", jobId));
    }
    auto connection = catalog();
    CatalogTransaction transaction(*connection);
    for (const ArchiveFileRecord& file : connection->archiveFilesOf(jobId)) {
        if (file.state != "closed") {
            throw StoreError(
                StoreError::Kind::Failed,
                "completeJob: " + archiveFileName(file.trellanId, file.groupNumber, file.afileId) +
                    formatText(" of job %llu is %s, not closed", jobId, file.state.c_str()));
        }
    }
    const auto job = connection->findJob(jobId);
    if (!job || job->state != "running") {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("completeJob: job %llu is %s, not running (a cleanup settled "
                                    "it); it is not complete",
                                    jobId, job ? job->state.c_str() : "not in the catalog"));
    }
    if (!found->second->intact()) {
        throw StoreError(StoreError::Kind::Unreachable,
                         formatText("completeJob: job %llu lost its liveness lock (its connection "
                                    "to the catalog dropped); it is not complete",
                                    jobId));
    }
    const std::string marker = markerPath(jobId);
    // Its last line says whether the store keeps the job's manifest, so that
    // a job completed before stores kept them is told from one whose copy
    // was lost.
    const bool manifestKept = m_storage->exists(manifestPath(jobId));
    if (!m_storage->createDurably(marker,
                                  formatText("job_id=%llu\ncompleted_at=%s\n%s", jobId,
                                             utcNow().c_str(),
                                             manifestKept ? "manifest=kept\n" : ""),
                                  m_modes)) {
        const std::string message = systemError("cannot write", marker);
        // A marker whose directory entry failed to sync stands whole: taken
        // back, so that a cleanup never completes the job this call fails.
        if (errno != EEXIST) {
            m_storage->remove(marker);
            m_storage->syncDirectory(jobsDirectory());
        }
        throw StoreError(StoreError::Kind::Failed, message);
    }
    crashPoint("completion marker");
    try {
        connection->setJobState(jobId, "complete");
        transaction.commit();
    } catch (...) {
        // The answer to the commit may be lost with the connection although
        // the server committed: asked again, the catalog says.
        if (!completeInCatalog(jobId)) {
            // The catalog's lock may be gone with its connection, and a
            // cleanup may have settled the job without seeing the marker:
            // taken back, the marker never speaks for a job not completed.
            m_storage->remove(marker);
            m_storage->syncDirectory(jobsDirectory());
            throw;
        }
    }
    crashPoint("catalog commit");
    m_locks.erase(found);
}

bool Store::completeInCatalog(unsigned long long jobId) const noexcept {
    try {
        const auto job = catalog()->findJob(jobId);
        return job && job->state == "complete";
    } catch (...) {
        return false;
    }
}

void Store::failJob(unsigned long long jobId) noexcept {
    try {
        if (!readOnly() && !completionMarked(jobId)) {
            auto connection = catalog();
            CatalogTransaction transaction(*connection);
            const auto job = connection->findJob(jobId);
            if (job && job->state != "complete") connection->setJobState(jobId, "failed");
            transaction.commit();
            crashPoint("catalog commit");
        }
    } catch (const std::exception& error) {
        platformError(formatText("failJob: cannot mark job %llu failed (the next cleanup will): %s",
                                 jobId, error.what()));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_locks.find(jobId);
    if (found != m_locks.end()) m_locks.erase(found);
}

void Store::releaseJobs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_locks.clear();
}

}  // namespace localplatform
