// Verifying a store, catalog against files, and rebuilding its catalog from
// the files' own descriptions and the jobs' completion markers.

#include "platform/local/store/StoreCheck.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>

#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/store/Sidecar.h"
#include "platform/local/store/Store.h"

namespace localplatform {

namespace {

std::string nameOf(const ArchiveFileRecord& record) {
    return archiveFileName(record.trellanId, record.groupNumber, record.afileId) +
           formatText(" of job %llu", record.jobId);
}

// The SHA-256 and size of a data file, read through the store's safe open.
bool hashData(const Store& store, const std::string& path, std::string* sha256,
              unsigned long long* size, std::string* why) {
    const std::unique_ptr<StorageFile> file = store.openData(path, why);
    if (!file) return false;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool good = digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) == 1;
    std::vector<char> buffer(1 << 16);
    *size = 0;
    while (good) {
        const ssize_t count = file->readAt(buffer.data(), buffer.size(), *size);
        if (count < 0) {
            *why = systemError("cannot read", path);
            good = false;
            break;
        }
        if (count == 0) break;
        good = EVP_DigestUpdate(digest.get(), buffer.data(), static_cast<std::size_t>(count)) == 1;
        *size += static_cast<unsigned long long>(count);
    }
    if (!good) return false;
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.get(), bytes, &length) != 1) return false;
    sha256->clear();
    for (unsigned int i = 0; i < length; ++i) *sha256 += formatText("%02x", bytes[i]);
    return true;
}

// The N of files/N.arch and files/N.meta; other entries of files/ in *other.
void listFiles(const Store& store, std::set<uint64_t>* data, std::set<uint64_t>* sidecars,
               std::vector<std::string>* other) {
    std::vector<std::string> names;
    if (!store.storage().list(store.filesDirectory(), &names)) {
        if (errno == ENOENT) return;
        throw StoreError(StoreError::Kind::Failed,
                         systemError("cannot read", store.filesDirectory()));
    }
    static const std::regex archiveName(R"(([0-9]{1,10})\.(arch|meta))");
    for (const std::string& name : names) {
        std::smatch match;
        if (!std::regex_match(name, match, archiveName)) {
            other->push_back(name);
            continue;
        }
        (match[2] == "arch" ? data : sidecars)->insert(std::stoull(match[1].str()));
    }
}

// The job ids of jobs/<id>.<suffix>.
std::set<unsigned long long> listJobFiles(const Store& store, const std::string& suffix) {
    std::set<unsigned long long> ids;
    std::vector<std::string> names;
    if (!store.storage().list(store.jobsDirectory(), &names)) return ids;
    const std::regex jobName("([0-9]{1,20})\\." + suffix);
    for (const std::string& name : names) {
        std::smatch match;
        if (std::regex_match(name, match, jobName)) ids.insert(std::stoull(match[1].str()));
    }
    return ids;
}

// A check or a repair asked to stop (SIGINT, SIGTERM) ends between two
// files; a repair then leaves the old catalog in place.
void stopIfInterrupted() {
    if (interrupted()) {
        throw StoreError(StoreError::Kind::Interrupted,
                         "stopped before the end; the store is as it was");
    }
}

// The store's own places that users other than its owner may write: a store
// shared with a group lets that group read it, never write it.
void findWritableByOthers(const Store& store, std::vector<std::string>* problems) {
    const std::string& dir = store.directory();
    for (const std::string& path :
         {dir, dir + "/store.ini", dir + "/catalog.db", store.filesDirectory(),
          store.jobsDirectory(), dir + "/logs"}) {
        EntryStatus status;
        if (!store.storage().status(path, &status)) continue;
        if ((status.permissions & (S_IWGRP | S_IWOTH)) != 0) {
            problems->push_back(formatText(
                "%s can be written by users other than its owner (mode %04o); chmod go-w %s",
                path.c_str(), static_cast<unsigned>(status.permissions), path.c_str()));
        }
    }
}

// Which command helps with what check finds: the advice it gives.
struct Remedies {
    bool repair = false;                       // `check --repair`: the catalog's problems
    bool cleanup = false;                      // `cleanup`: what killed jobs left
    std::set<unsigned long long> damagedJobs;  // `delete J` or `mark-damaged J`
};

std::vector<std::string> adviceFor(const Remedies& remedies) {
    std::vector<std::string> advice;
    for (const unsigned long long job : remedies.damagedJobs) {
        advice.push_back(formatText(
            "job %llu is damaged: `delete %llu` removes it; `mark-damaged %llu` keeps it, "
            "restorable file by file where its archive files are whole",
            job, job, job));
    }
    if (remedies.cleanup)
        advice.push_back("`cleanup` removes what jobs that did not complete left");
    if (remedies.repair) advice.push_back("`check --repair` rebuilds the catalog from the files");
    return advice;
}

CheckResult inspect(const Store& store) {
    CheckResult result;
    auto& problems = result.problems;
    Remedies remedies;
    std::vector<ArchiveFileRecord> rows;
    std::vector<CatalogJob> jobs;
    try {
        auto catalog = store.catalog();
        for (const std::string& problem : catalog->integrityProblems()) problems.push_back(problem);
        rows = catalog->archiveFiles();
        jobs = catalog->jobs();
    } catch (const StoreError& error) {
        // A server that is down says nothing about the catalog: no problem
        // to repair, a check that failed.
        if (error.kind() == StoreError::Kind::Unreachable) throw;
        problems.push_back(std::string("the catalog cannot be read: ") + error.what());
    }

    std::map<unsigned long long, const CatalogJob*> jobById;
    for (const CatalogJob& job : jobs) jobById[job.jobId] = &job;
    if (!problems.empty()) remedies.repair = true;
    std::set<uint64_t> entered;
    std::size_t before = problems.size();
    // What a file's problems are: a complete job's damage, which deleting or
    // marking it settles; what a killed job left, cleanup's; a job marked
    // damaged, known and accepted (a note); else the catalog's.
    const auto classify = [&](const ArchiveFileRecord& row) {
        if (problems.size() == before) return;
        const auto job = jobById.find(row.jobId);
        const std::string state = job == jobById.end() ? "" : job->second->state;
        if (state == "damaged") {
            for (std::size_t i = before; i < problems.size(); ++i) {
                result.notes.push_back(problems[i] +
                                       formatText(" (job %llu is marked damaged)", row.jobId));
            }
            problems.resize(before);
        } else if (state == "complete") {
            remedies.damagedJobs.insert(row.jobId);
        } else if (state == "running" || state == "failed") {
            remedies.cleanup = true;
        } else {
            remedies.repair = true;
        }
    };
    const auto checkRow = [&](const ArchiveFileRecord& row) {
        entered.insert(row.afileId);
        ++result.files;
        const std::string name = nameOf(row);
        const auto job = jobById.find(row.jobId);
        // A job being deleted lacks what its deletion removed so far.
        if (job != jobById.end() && job->second->state == "deleting") return;
        if (job == jobById.end()) problems.push_back(name + ": its job is not in the catalog");
        std::string full, why;
        if (!store.resolve(row.path, &full, &why)) {
            problems.push_back(name + ": " + why);
            return;
        }
        EntryStatus status;
        if (!store.storage().status(full, &status)) {
            problems.push_back(name + ": its data file " + full + " is missing");
            return;
        }
        if (status.kind != EntryStatus::Kind::Regular) {
            problems.push_back(name + ": its data file " + full + " is not a regular file");
            return;
        }
        Sidecar sidecar;
        if (!readSidecar(store.storage(), store.sidecarPath(row.afileId), &sidecar, &why)) {
            problems.push_back(name + ": " + why);
            return;
        }
        if (sidecar.trellanId != row.trellanId || sidecar.groupNumber != row.groupNumber ||
            sidecar.afileId != row.afileId || sidecar.jobId != row.jobId ||
            sidecar.stream != row.stream) {
            problems.push_back(formatText(
                "%s: its description names %s of job %llu stream %lu", name.c_str(),
                archiveFileName(sidecar.trellanId, sidecar.groupNumber, sidecar.afileId).c_str(),
                sidecar.jobId, sidecar.stream));
            return;
        }
        if (row.state != "closed") return;
        const unsigned long long size = status.size;
        if (!sidecar.closed) {
            problems.push_back(name +
                               ": closed in the catalog, but its description was never closed");
            return;
        }
        if (size != row.size || sidecar.size != row.size) {
            problems.push_back(formatText(
                "%s: its data file has %llu bytes; the catalog records %llu, its description %llu",
                name.c_str(), size, row.size, sidecar.size));
            return;
        }
        std::string sha256;
        unsigned long long hashed = 0;
        if (!hashData(store, full, &sha256, &hashed, &why)) {
            problems.push_back(name + ": " + why);
            return;
        }
        result.bytes += hashed;
        if (sha256 != sidecar.sha256 || (!row.sha256.empty() && row.sha256 != sidecar.sha256)) {
            problems.push_back(name + ": its data's SHA-256 is " + sha256 +
                               "; its description records " + sidecar.sha256 +
                               (row.sha256.empty() ? "" : ", the catalog " + row.sha256));
        }
    };
    for (const ArchiveFileRecord& row : rows) {
        stopIfInterrupted();
        before = problems.size();
        checkRow(row);
        classify(row);
    }

    std::map<unsigned long long, std::vector<const ArchiveFileRecord*>> filesOf;
    for (const ArchiveFileRecord& row : rows) filesOf[row.jobId].push_back(&row);
    const auto liveness = store.liveness();
    for (const CatalogJob& job : jobs) {
        const bool marked = store.completionMarked(job.jobId);
        if (job.state == "deleting") {
            // Its deleter holds the job's lock while it works; one that is
            // gone left the rest to cleanup.
            if (!liveness->probe(job.jobId)) {
                result.notes.push_back(formatText("job %llu is being deleted", job.jobId));
            } else {
                problems.push_back(formatText(
                    "job %llu was being deleted when its deleter stopped (cleanup finishes it)",
                    job.jobId));
                remedies.cleanup = true;
            }
            continue;
        }
        if (job.state == "damaged") {
            result.notes.push_back(formatText(
                "job %llu is marked damaged: kept, restorable file by file where its archive "
                "files are whole",
                job.jobId));
            continue;
        }
        if (job.state == "complete") {
            if (!marked && !rows.empty()) {
                // A job completed before completion markers existed has none;
                // only one whose files all carry descriptions should.
                bool described = true;
                for (const auto* file : filesOf[job.jobId]) {
                    described =
                        described && store.storage().exists(store.sidecarPath(file->afileId));
                }
                if (described && !filesOf[job.jobId].empty()) {
                    problems.push_back(formatText(
                        "job %llu is complete in the catalog but has no completion marker %s",
                        job.jobId, store.markerPath(job.jobId).c_str()));
                    remedies.repair = true;
                }
            }
            for (const auto* file : filesOf[job.jobId]) {
                if (file->state != "closed") {
                    problems.push_back(formatText("job %llu is complete but its %s is %s",
                                                  job.jobId, nameOf(*file).c_str(),
                                                  file->state.c_str()));
                    remedies.damagedJobs.insert(job.jobId);
                }
            }
        } else if (marked) {
            problems.push_back(
                formatText("job %llu has a completion marker but the catalog says %s", job.jobId,
                           job.state.c_str()));
            remedies.cleanup = true;
        } else if (job.state == "running" && !store.jobLockHeld(job.jobId)) {
            problems.push_back(formatText(
                "job %llu is running in the catalog but its writer is gone (cleanup removes it)",
                job.jobId));
            remedies.cleanup = true;
        }
    }
    for (const unsigned long long id : listJobFiles(store, "complete")) {
        if (!jobById.count(id)) {
            problems.push_back(
                formatText("job %llu has a completion marker but is not in the catalog", id));
            remedies.repair = true;
        }
    }

    std::set<uint64_t> data, sidecars;
    std::vector<std::string> other;
    listFiles(store, &data, &sidecars, &other);
    // A file without an entry that a killed creation left is cleanup's; one
    // of a complete job, whose entry the catalog lost, the repair's.
    const auto leftBehind = [&](uint64_t id) {
        Sidecar sidecar;
        std::string why;
        if (readSidecar(store.storage(), store.sidecarPath(id), &sidecar, &why) &&
            store.completionMarked(sidecar.jobId)) {
            remedies.repair = true;
        } else {
            remedies.cleanup = true;
        }
    };
    for (const uint64_t id : data) {
        if (!entered.count(id)) {
            problems.push_back(store.dataPath(id) + " is not in the catalog");
            leftBehind(id);
        }
    }
    for (const uint64_t id : sidecars) {
        if (!entered.count(id) && !data.count(id)) {
            problems.push_back(store.sidecarPath(id) + " describes a data file that is missing");
            leftBehind(id);
        }
    }
    for (const std::string& name : other) {
        problems.push_back(store.filesDirectory() + "/" + name +
                           " is neither an archive file nor a description");
    }
    result.advice = adviceFor(remedies);
    return result;
}

// From files/ and jobs/ alone: a job with a completion marker is complete,
// any other failed (no job runs: repair refuses otherwise); a file is closed
// when its data matches the closing line of its description, invalidated
// when it does not, and "writing" without a closing line.
void rebuild(const Store& store, std::vector<std::string>* repaired) {
    std::set<uint64_t> data, sidecars;
    std::vector<std::string> other;
    listFiles(store, &data, &sidecars, &other);
    // The jobs the catalog still names, and those the descriptions in files/
    // name, which a damaged catalog may have lost.
    const auto liveness = store.liveness();
    std::vector<unsigned long long> live = liveness->liveJobs();
    for (const uint64_t id : sidecars) {
        Sidecar sidecar;
        std::string why;
        if (readSidecar(store.storage(), store.sidecarPath(id), &sidecar, &why) &&
            !store.completionMarked(sidecar.jobId) && !liveness->probe(sidecar.jobId)) {
            live.push_back(sidecar.jobId);
        }
    }
    if (!live.empty()) {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("check --repair: job %llu is running; repair the store "
                                    "when no job runs",
                                    live.front()));
    }
    unsigned long entered = 0;
    std::map<unsigned long long, std::string> jobs;  // job -> earliest creation time
    const auto fill = [&](CatalogBackend& catalog) {
        catalog.setTrellanId(store.trellanId());
        for (const uint64_t id : sidecars) {
            stopIfInterrupted();
            Sidecar sidecar;
            std::string why;
            if (!data.count(id) ||
                !readSidecar(store.storage(), store.sidecarPath(id), &sidecar, &why) ||
                sidecar.afileId != id) {
                continue;  // the check that follows reports it
            }
            ArchiveFileRecord record;
            record.trellanId = sidecar.trellanId;
            record.groupNumber = sidecar.groupNumber;
            record.afileId = sidecar.afileId;
            record.jobId = sidecar.jobId;
            record.stream = sidecar.stream;
            record.path = Store::relativeDataPath(id);
            record.createdAt = sidecar.createdAt;
            record.state = "writing";
            if (sidecar.closed) {
                std::string sha256;
                unsigned long long size = 0;
                const bool matches = hashData(store, store.dataPath(id), &sha256, &size, &why) &&
                                     size == sidecar.size && sha256 == sidecar.sha256;
                record.state = matches ? "closed" : "invalidated";
                record.size = sidecar.size;
                record.sha256 = sidecar.sha256;
                record.updatedAt = sidecar.closedAt;
                if (!matches) {
                    repaired->push_back(
                        nameOf(record) +
                        " entered as invalidated: its data does not match its description");
                }
            }
            NewArchiveFile file;
            file.jobId = record.jobId;
            file.stream = record.stream;
            catalog.insertArchiveFile(record, file);
            crashPoint("repair: archive file entered");
            ++entered;
            auto& earliest = jobs[record.jobId];
            if (earliest.empty() || record.createdAt < earliest) earliest = record.createdAt;
        }
        for (const unsigned long long id : listJobFiles(store, "complete")) jobs.emplace(id, "");
        for (const auto& [id, createdAt] : jobs) {
            const bool marked = store.completionMarked(id);
            catalog.insertJob(CatalogJob{id, marked ? "complete" : "failed", createdAt, ""});
        }
        stopIfInterrupted();
    };
    for (std::string& line : rebuildCatalog(store.catalogPlace(), fill)) {
        repaired->push_back(std::move(line));
    }
    unsigned long complete = 0;
    for (const auto& entry : jobs) complete += store.completionMarked(entry.first) ? 1 : 0;
    repaired->push_back(
        formatText("rebuilt the catalog from %lu archive files of %zu jobs (%lu complete)", entered,
                   jobs.size(), complete));
}

}  // namespace

CheckResult checkStore(const std::shared_ptr<Store>& store, bool repair) {
    if (repair) store->requireWritable("check --repair");
    CheckResult found = inspect(*store);
    if (repair && !found.problems.empty()) {
        std::vector<std::string> repaired;
        for (const std::string& problem : found.problems) repaired.push_back("found: " + problem);
        rebuild(*store, &repaired);
        for (const std::string& line : repaired) platformDebug("check --repair: " + line);
        found = inspect(*store);
        found.repaired = std::move(repaired);
    }
    // Not the catalog's to mend: said, never repaired.
    found.repairable = found.problems.size();
    findWritableByOthers(*store, &found.problems);
    return found;
}

}  // namespace localplatform
