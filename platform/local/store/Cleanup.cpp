// Clearing a store of what jobs that did not complete left: job by job,
// closed files included, and files that a creation cut short left without a
// catalog entry. Only ever inside the store's files/.

#include "platform/local/store/Cleanup.h"

#include <cerrno>
#include <charconv>
#include <map>
#include <optional>
#include <regex>
#include <set>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/StepHooks.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/store/JobRemoval.h"
#include "platform/local/store/Sidecar.h"
#include "platform/local/store/Store.h"

namespace localplatform {

namespace {

std::string nameOf(const ArchiveFileRecord& record) {
    return archiveFileName(record.trellanId, record.groupNumber, record.afileId) +
           formatText(" of job %llu", record.jobId);
}

// Removes one directory entry of files/ that is not a directory. True when
// it is gone (or never was).
bool removeEntry(Storage& storage, const std::string& path, std::string* why) {
    EntryStatus status;
    if (!storage.status(path, &status)) {
        if (errno == ENOENT) return true;
        *why = systemError("cannot look at", path);
        return false;
    }
    if (status.kind == EntryStatus::Kind::Directory) {
        *why = path + " is a directory; left alone";
        return false;
    }
    if (!storage.remove(path) && errno != ENOENT) {
        *why = systemError("cannot remove", path);
        return false;
    }
    return true;
}

// The data file and description of a catalog entry. The data's size is
// taken first, for the report.
bool removeFiles(const Store& store, ArchiveFileRecord* record, std::string* why) {
    std::string full;
    if (!store.resolve(record->path, &full, why)) return false;
    EntryStatus status;
    if (record->state != "closed" && store.storage().status(full, &status) &&
        status.kind == EntryStatus::Kind::Regular) {
        record->size = status.size;
    }
    record->path = full;
    if (!removeEntry(store.storage(), full, why)) return false;
    return removeEntry(store.storage(), store.sidecarPath(record->afileId), why);
}

// Whether the archive file that a crashed job's catalog entry names is the
// one that job made: the entry names the file of its own id, and the
// description beside it names the same file of the same job. A file whose
// description cannot be read may go only when it holds no data. Otherwise
// *why says what disagrees, and the file stays.
bool madeByItsJob(const Store& store, const ArchiveFileRecord& record, std::string* why) {
    const std::string own = Store::relativeDataPath(record.afileId);
    std::string full;
    if (!store.resolve(record.path, &full, why)) return false;
    if (record.path != own) {
        *why = "its catalog entry names " + record.path + ", not its own " + own + "; left alone";
        return false;
    }
    Sidecar sidecar;
    std::string unread;
    if (!readSidecar(store.storage(), store.sidecarPath(record.afileId), &sidecar, &unread)) {
        EntryStatus status;
        if (!store.storage().status(store.dataPath(record.afileId), &status)) {
            if (errno == ENOENT) return true;
            *why = systemError("cannot look at", store.dataPath(record.afileId));
            return false;
        }
        if (status.kind == EntryStatus::Kind::Regular && status.size > 0) {
            *why = store.dataPath(record.afileId) + " holds data but " + unread + "; left alone";
            return false;
        }
        return true;
    }
    if (sidecar.afileId != record.afileId || sidecar.jobId != record.jobId ||
        sidecar.trellanId != record.trellanId || sidecar.groupNumber != record.groupNumber) {
        *why = formatText("its description %s is of %s of job %llu, not of this entry; left alone",
                          store.sidecarPath(record.afileId).c_str(),
                          archiveFileName(sidecar.trellanId, sidecar.groupNumber, sidecar.afileId)
                              .c_str(),
                          sidecar.jobId);
        return false;
    }
    return true;
}

void report(const ArchiveFileRecord& record) {
    platformDebug("cleanup removed " + record.state + " " + nameOf(record));
}

void refuse(CleanupResult* result, const std::string& why) {
    platformError("cleanup: " + why);
    result->refused.push_back(why);
}

// Files in files/ without a catalog entry, looked at while this holds the
// catalog's write lock, so that no creation is halfway meanwhile: such a
// file was left by a creation that died before its entry was committed, or
// the catalog was lost. Its description names its job; files of jobs that
// completed or whose writer lives stay. ofJob: only that job's, whose lock
// the caller holds.
void removeUnentered(const Store& store, CatalogBackend& catalog, JobLiveness& liveness,
                     CleanupResult* result, std::optional<unsigned long long> ofJob = {}) {
    CatalogTransaction transaction(catalog);
    std::set<uint64_t> entered;
    for (const ArchiveFileRecord& record : catalog.archiveFiles()) entered.insert(record.afileId);
    std::set<uint64_t> unentered;
    std::vector<std::string> names;
    if (!store.storage().list(store.filesDirectory(), &names)) {
        throw StoreError(StoreError::Kind::Failed,
                         systemError("cannot read", store.filesDirectory()));
    }
    static const std::regex archiveName(R"(([0-9]{1,10})\.(arch|meta))");
    for (const std::string& name : names) {
        std::smatch match;
        if (!std::regex_match(name, match, archiveName)) continue;
        // A number past an archive file id's range names none of the
        // store's files: left alone (check reports it).
        uint32_t id = 0;
        const std::string digits = match[1].str();
        const auto [stop, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), id);
        if (error != std::errc() || stop != digits.data() + digits.size()) continue;
        if (!entered.count(id)) unentered.insert(id);
    }

    for (const uint64_t id : unentered) {
        Sidecar sidecar;
        std::string why;
        const bool described = readSidecar(store.storage(), store.sidecarPath(id), &sidecar, &why);
        EntryStatus status;
        const bool hasData = store.storage().status(store.dataPath(id), &status);
        ArchiveFileRecord record;
        record.afileId = static_cast<uint32_t>(id);
        record.path = Store::relativeDataPath(id);
        record.state = "writing";
        if (ofJob && (!described || sidecar.jobId != *ofJob)) continue;
        if (described && !ofJob) {
            const auto job = catalog.findJob(sidecar.jobId);
            if ((job && (job->state == "complete" || job->state == "damaged" ||
                         job->state == "deleting")) ||
                store.completionMarked(sidecar.jobId) || !liveness.probe(sidecar.jobId)) {
                continue;
            }
        }
        if (described) {
            record.trellanId = sidecar.trellanId;
            record.groupNumber = sidecar.groupNumber;
            record.jobId = sidecar.jobId;
            record.stream = sidecar.stream;
            record.state = sidecar.closed ? "closed" : "writing";
        } else if (hasData && status.kind == EntryStatus::Kind::Regular && status.size > 0) {
            refuse(result, formatText("%s holds data but has no catalog entry and %s; left alone",
                                      store.dataPath(id).c_str(), why.c_str()));
            continue;
        }
        if (!removeFiles(store, &record, &why)) {
            refuse(result, why);
            continue;
        }
        report(record);
        result->removed.push_back(record);
        crashPoint("cleanup removal");
    }
    transaction.commit();
}

// The unfinished writes below files/ (a store in object storage keeps its
// archive files' uploads apart until they complete) that no live job's
// "writing" file owns: a writer killed mid-upload leaves its upload, and
// its parts' space, behind. Listed before the catalog is read, so that an
// upload seen here had its file's entry committed before (an upload begins
// after the entry), and the liveness is asked after.
void abandonPendingWrites(const Store& store, CatalogBackend& catalog, JobLiveness& liveness,
                          CleanupResult* result) {
    errno = 0;
    const std::vector<PendingWrite> writes =
        store.storage().pendingWrites(store.filesDirectory());
    if (writes.empty()) {
        if (errno != 0) {
            refuse(result, systemError("cannot list the unfinished writes of",
                                       store.filesDirectory()));
        }
        return;
    }
    std::map<std::string, ArchiveFileRecord> byPath;
    for (ArchiveFileRecord& record : catalog.archiveFiles()) {
        const std::string path = store.dataPath(record.afileId);
        byPath[path] = std::move(record);
    }
    std::set<unsigned long long> live;
    for (const unsigned long long job : liveness.liveJobs()) live.insert(job);
    for (const PendingWrite& write : writes) {
        const auto owner = byPath.find(write.path);
        if (owner != byPath.end() && owner->second.state == "writing" &&
            live.count(owner->second.jobId) > 0) {
            continue;
        }
        if (!store.storage().abandonPendingWrite(write)) {
            refuse(result, systemError("cannot drop the unfinished upload of", write.path));
            continue;
        }
        platformDebug("cleanup dropped the unfinished upload of " + write.path);
        result->abandonedWrites.push_back(write.path);
        crashPoint("cleanup removal");
    }
}

}  // namespace

CleanupResult removeUnenteredFilesOf(const Store& store, unsigned long long jobId) {
    CleanupResult result;
    const auto catalog = store.catalog();
    const auto liveness = store.liveness();
    removeUnentered(store, *catalog, *liveness, &result, jobId);
    return result;
}

// Job by job: the files go before their entries, so that a failure halfway
// leaves entries of missing files, which the next cleanup removes.
CleanupResult cleanupStore(const std::shared_ptr<Store>& store) {
    store->requireWritable("cleanup");
    CleanupResult result;
    auto catalog = store->catalog();
    auto liveness = store->liveness();
    // Deletions that a kill cut short, finished first.
    finishDeletions(*store, *catalog, *liveness, &result);
    std::map<unsigned long long, std::vector<ArchiveFileRecord>> files;
    for (ArchiveFileRecord& record : catalog->archiveFiles()) {
        files[record.jobId].push_back(std::move(record));
    }
    for (const CatalogJob& listed : catalog->jobs()) {
        // Kept on purpose, or being deleted by a deleter at work.
        if (listed.state == "complete" || listed.state == "damaged" || listed.state == "deleting") {
            continue;
        }
        // Settled inside one write transaction of the catalog, whose lock a
        // completing writer holds too (see Store::completeJob): the job is
        // looked at afresh, and its writer can complete it only before this
        // looks or not at all.
        CatalogTransaction transaction(*catalog);
        const auto job = catalog->findJob(listed.jobId);
        if (!job || job->state == "complete" || job->state == "damaged" ||
            job->state == "deleting") {
            continue;
        }
        if (store->completionMarked(job->jobId)) {
            // Completed, but the process died before the catalog said so.
            catalog->setJobState(job->jobId, "complete");
            transaction.commit();
            crashPoint("catalog commit");
            continue;
        }
        const std::unique_ptr<JobLock> lock = liveness->probe(job->jobId);
        if (!lock) continue;  // its writer lives
        std::vector<ArchiveFileRecord> gone;
        for (ArchiveFileRecord& record : files[job->jobId]) {
            std::string why;
            if (!madeByItsJob(*store, record, &why) || !removeFiles(*store, &record, &why)) {
                refuse(&result, nameOf(record) + ": " + why);
                continue;
            }
            gone.push_back(record);
            crashPoint("cleanup removal");
        }
        for (const ArchiveFileRecord& record : gone) catalog->removeArchiveFile(record.afileId);
        const bool failedNow =
            job->state == "running" && catalog->setJobState(job->jobId, "failed");
        transaction.commit();
        crashPoint("catalog commit");
        if (failedNow) {
            result.jobsFailed.push_back(job->jobId);
            platformDebug(
                formatText("cleanup marked job %llu failed: its writer is gone", job->jobId));
        }
        for (const ArchiveFileRecord& record : gone) {
            report(record);
            result.removed.push_back(record);
        }
    }
    removeUnentered(*store, *catalog, *liveness, &result);
    abandonPendingWrites(*store, *catalog, *liveness, &result);
    return result;
}

}  // namespace localplatform
