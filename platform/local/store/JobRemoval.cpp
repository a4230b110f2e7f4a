// Deleting jobs on purpose. A job is marked "deleting" in the catalog before
// anything of it goes, so that from then on nothing takes it for complete;
// its completion marker goes first, so that a catalog rebuilt from files/
// and jobs/ never finds it complete either; then its data files and
// descriptions, its manifest, and last its entries. A kill at any step
// leaves it marked deleting, and cleanup finishes it the same way. Jobs go
// in batches, each under one transaction for the marking and one for the
// entries, so that a thousand jobs cost a few commits, not thousands.

#include "platform/local/store/JobRemoval.h"

#include <cerrno>
#include <set>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Interruption.h"
#include "platform/local/StepHooks.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/catalog/CatalogBackend.h"
#include "platform/local/store/Store.h"

namespace localplatform {

namespace {

// The most jobs whose locks one batch holds at once: for a SQLite store,
// each is an open file.
constexpr std::size_t kJobsAtOnce = 256;

[[noreturn]] void failed(const std::string& what) {
    throw StoreError(StoreError::Kind::Failed, what);
}

// True when path was there and is removed now; false when it was gone.
bool removeIfThere(Storage& storage, const std::string& path) {
    if (storage.remove(path)) return true;
    if (errno != ENOENT) failed(systemError("cannot remove", path));
    return false;
}

void syncDirectory(Storage& storage, const std::string& path) {
    if (!storage.syncDirectory(path)) failed(systemError("cannot sync", path));
}

std::string manifestPath(const Store& store, unsigned long long jobId) {
    return store.jobsDirectory() + "/" + std::to_string(jobId) + ".manifest.json";
}

// A SQLite store's lock file of a job that is gone, removed under its lock:
// whoever locks it from now on finds no job in the catalog.
void dropLockFile(Store& store, unsigned long long jobId) {
    if (store.catalogPlace().connection.empty()) {
        store.storage().remove(store.jobsDirectory() + "/" + std::to_string(jobId) + ".lock");
    }
}

// Removes what the store keeps of jobs that are marked deleting and whose
// locks the caller holds. Throws StoreError (Failed) at the first thing
// that cannot be removed, the jobs left deleting.
void removeMarked(Store& store, CatalogBackend& catalog,
                  const std::vector<unsigned long long>& jobIds, DeletionResult* result) {
    Storage& storage = store.storage();
    for (const unsigned long long id : jobIds) removeIfThere(storage, store.markerPath(id));
    syncDirectory(storage, store.jobsDirectory());
    crashPoint("deletion markers removed");
    for (const unsigned long long id : jobIds) {
        for (ArchiveFileRecord& file : catalog.archiveFilesOf(id)) {
            std::string full, why;
            if (!store.resolve(file.path, &full, &why)) {
                failed(archiveFileName(file.trellanId, file.groupNumber, file.afileId) +
                       formatText(" of job %llu: ", id) + why + "; left alone");
            }
            EntryStatus status;
            if (file.state != "closed" && storage.status(full, &status) &&
                status.kind == EntryStatus::Kind::Regular) {
                file.size = status.size;
            }
            const bool removed = removeIfThere(storage, full);
            removeIfThere(storage, store.sidecarPath(file.afileId));
            // A file an earlier, cut short deletion removed is not told again.
            if (removed) {
                file.path = full;
                result->bytes += file.size;
                result->removed.push_back(file);
            }
            crashPoint("deletion removal");
        }
        removeIfThere(storage, manifestPath(store, id));
    }
    syncDirectory(storage, store.filesDirectory());
    syncDirectory(storage, store.jobsDirectory());
    crashPoint("deletion files removed");
    CatalogTransaction transaction(catalog);
    for (const unsigned long long id : jobIds) catalog.removeJob(id);
    transaction.commit();
    crashPoint("deletion entries removed");
    for (const unsigned long long id : jobIds) {
        result->jobs.push_back(id);
        platformDebug(formatText("deleted job %llu", id));
    }
    for (const unsigned long long id : jobIds) dropLockFile(store, id);
}

// The refusal of a job that may not be deleted, or nothing.
std::string refusal(const std::optional<CatalogJob>& job, unsigned long long jobId) {
    if (!job) return formatText("the store has no job %llu", jobId);
    if (job->state == "complete" || job->state == "damaged" || job->state == "deleting") {
        return "";
    }
    return formatText(
        "job %llu is %s, not complete; only complete jobs are deleted (cleanup "
        "removes what failed and crashed jobs left)",
        jobId, job->state.c_str());
}

// Another command's deletion, done (the job is gone) or under way (it is
// marked deleting and its lock held): counted done when the options say so.
bool deletedElsewhere(const DeletionOptions& options, const std::optional<CatalogJob>& job,
                      bool held) {
    return options.goneIsDone && (!job || (held && job->state == "deleting"));
}

// The jobs to delete, each once, in the order given: a job deleted
// elsewhere is counted so in *result; a job that may not be deleted is
// refused (Unusable) before anything is locked.
std::vector<unsigned long long> deletable(CatalogBackend& catalog,
                                          const std::vector<unsigned long long>& jobIds,
                                          const DeletionOptions& options, DeletionResult* result) {
    std::vector<unsigned long long> ids;
    std::set<unsigned long long> seen;
    for (const unsigned long long id : jobIds) {
        if (!seen.insert(id).second) continue;
        const auto job = catalog.findJob(id);
        if (deletedElsewhere(options, job, false)) {
            result->deletedElsewhere.push_back(id);
            continue;
        }
        const std::string why = refusal(job, id);
        if (!why.empty()) throw StoreError(StoreError::Kind::Unusable, why);
        ids.push_back(id);
    }
    return ids;
}

// Takes each job's lock for deleting without waiting, into *held, and
// returns the jobs locked. A job whose lock another holds is counted
// deleted elsewhere or skipped as the options say, else refused (Failed).
std::vector<unsigned long long> lockBatch(CatalogBackend& catalog, JobLiveness& liveness,
                                          const std::vector<unsigned long long>& batch,
                                          const DeletionOptions& options,
                                          std::vector<std::unique_ptr<JobLock>>* held,
                                          DeletionResult* result) {
    std::vector<unsigned long long> locked;
    for (const unsigned long long id : batch) {
        std::unique_ptr<JobLock> lock = liveness.holdForDeleting(id);
        if (lock) {
            held->push_back(std::move(lock));
            locked.push_back(id);
        } else if (deletedElsewhere(options, catalog.findJob(id), true)) {
            result->deletedElsewhere.push_back(id);
        } else if (options.skipInUse) {
            result->skipped.push_back(id);
        } else {
            failed(
                formatText("job %llu is in use (a restore reads it, or another command "
                           "deletes it); not deleted",
                           id));
        }
    }
    return locked;
}

// Marks the locked jobs deleting in one transaction, looked at again under
// it: returns those marked; one whose deleter finished between the first
// look and the lock goes to *gone.
std::vector<unsigned long long> markDeleting(CatalogBackend& catalog,
                                             const std::vector<unsigned long long>& locked,
                                             const DeletionOptions& options,
                                             std::vector<unsigned long long>* gone) {
    std::vector<unsigned long long> marked;
    CatalogTransaction transaction(catalog);
    for (const unsigned long long id : locked) {
        const auto job = catalog.findJob(id);
        // Its deleter finished between the first look and the lock.
        if (deletedElsewhere(options, job, false)) {
            gone->push_back(id);
            continue;
        }
        const std::string why = refusal(job, id);
        if (!why.empty()) throw StoreError(StoreError::Kind::Unusable, why);
        catalog.setJobState(id, "deleting");
        marked.push_back(id);
    }
    transaction.commit();
    return marked;
}

// One batch: its locks taken, its jobs marked deleting, then removed; the
// locks held until the end.
void deleteBatch(Store& store, CatalogBackend& catalog, JobLiveness& liveness,
                 const std::vector<unsigned long long>& batch, const DeletionOptions& options,
                 DeletionResult* result) {
    std::vector<std::unique_ptr<JobLock>> held;
    const std::vector<unsigned long long> locked =
        lockBatch(catalog, liveness, batch, options, &held, result);
    if (locked.empty()) return;
    // The caller's look under the locks: a throw leaves the batch unmarked,
    // its locks released as held unwinds.
    if (options.beforeMarking) options.beforeMarking(locked);
    std::vector<unsigned long long> gone;
    const std::vector<unsigned long long> marked = markDeleting(catalog, locked, options, &gone);
    for (const unsigned long long id : gone) {
        dropLockFile(store, id);
        result->deletedElsewhere.push_back(id);
    }
    if (marked.empty()) return;
    crashPoint("jobs marked deleting");
    removeMarked(store, catalog, marked, result);
}

// A deleter holds a job's lock a moment before it marks the job: one
// skipped then is looked at once more.
void lookAgainAtSkipped(CatalogBackend& catalog, DeletionResult* result) {
    std::vector<unsigned long long> inUse;
    for (const unsigned long long id : result->skipped) {
        const auto job = catalog.findJob(id);
        if (!job || job->state == "deleting") {
            result->deletedElsewhere.push_back(id);
        } else {
            inUse.push_back(id);
        }
    }
    result->skipped = inUse;
}

}  // namespace

// Every job is looked at before any lock is taken, so that a refusal makes
// no lock file; under the marking's transaction they are looked at again.
DeletionResult deleteStoreJobs(const std::shared_ptr<Store>& store,
                               const std::vector<unsigned long long>& jobIds,
                               const DeletionOptions& options) {
    store->requireWritable("delete");
    DeletionResult result;
    auto catalog = store->catalog();
    const std::vector<unsigned long long> ids = deletable(*catalog, jobIds, options, &result);
    auto liveness = store->liveness();
    for (std::size_t first = 0; first < ids.size(); first += kJobsAtOnce) {
        // Asked to stop: between batches, each either untouched or gone.
        if (interrupted()) {
            const std::size_t done = result.jobs.size();
            throw StoreError(StoreError::Kind::Interrupted,
                             formatText("stopped before job %llu; %zu job%s deleted, the rest "
                                        "untouched",
                                        ids[first], done, done == 1 ? "" : "s"));
        }
        const std::vector<unsigned long long> batch(
            ids.begin() + static_cast<std::ptrdiff_t>(first),
            ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), first + kJobsAtOnce)));
        deleteBatch(*store, *catalog, *liveness, batch, options, &result);
    }
    if (options.goneIsDone && !result.skipped.empty()) lookAgainAtSkipped(*catalog, &result);
    return result;
}

void finishDeletions(Store& store, CatalogBackend& catalog, JobLiveness& liveness,
                     CleanupResult* result) {
    std::vector<unsigned long long> ids;
    std::vector<std::unique_ptr<JobLock>> held;
    DeletionResult done;
    const auto finish = [&] {
        try {
            removeMarked(store, catalog, ids, &done);
        } catch (const StoreError& error) {
            if (error.kind() != StoreError::Kind::Failed) throw;
            const std::string why = std::string("a deletion: ") + error.what();
            platformError("cleanup: " + why);
            result->refused.push_back(why);
        }
        ids.clear();
        held.clear();
    };
    for (const CatalogJob& job : catalog.jobs()) {
        if (job.state != "deleting") continue;
        std::unique_ptr<JobLock> lock = liveness.holdForDeleting(job.jobId);
        if (!lock) continue;  // its deleter is at work
        ids.push_back(job.jobId);
        held.push_back(std::move(lock));
        if (ids.size() == kJobsAtOnce) finish();
    }
    if (!ids.empty()) finish();
    for (const unsigned long long id : done.jobs) result->jobsDeleted.push_back(id);
    for (const ArchiveFileRecord& file : done.removed) result->removed.push_back(file);
}

void markStoreJobsDamaged(const std::shared_ptr<Store>& store,
                          const std::vector<unsigned long long>& jobIds) {
    store->requireWritable("mark-damaged");
    auto catalog = store->catalog();
    CatalogTransaction transaction(*catalog);
    for (const unsigned long long id : jobIds) {
        const auto job = catalog->findJob(id);
        if (!job)
            throw StoreError(StoreError::Kind::Unusable,
                             formatText("the store has no job %llu", id));
        if (job->state == "damaged") continue;
        if (job->state != "complete") {
            throw StoreError(StoreError::Kind::Unusable,
                             formatText("job %llu is %s, not complete; only a complete job is "
                                        "marked damaged",
                                        id, job->state.c_str()));
        }
        catalog->setJobState(id, "damaged");
    }
    transaction.commit();
    crashPoint("catalog commit");
}

}  // namespace localplatform
