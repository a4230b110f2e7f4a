// A catalog rebuilt from what the store's files say of themselves, and the
// completion markers remade from a catalog that still has them.

#include "platform/local/store/AuditRepair.h"

#include <cerrno>
#include <cstdint>
#include <set>
#include <utility>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/StepHooks.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/catalog/CatalogBackend.h"
#include "platform/local/store/AuditScan.h"
#include "platform/local/store/Sidecar.h"
#include "platform/local/store/Store.h"

namespace localplatform::audit {

namespace {

// The jobs the catalog still names, and those the descriptions in files/
// name, which a damaged catalog may have lost: a repair refuses (Failed)
// while one of them runs.
void refuseWhileRunning(const Store& store, const std::set<uint64_t>& sidecars) {
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
}

// The entry of archive file id as its description has it: "writing"
// without a closing line; else closed when its data has the size and
// SHA-256 the closing line records (or, past the scan's bound, the size),
// invalidated when not. Each entry that is not plainly closed says why in
// *repaired.
ArchiveFileRecord recordOf(const Store& store, Scan& scan, uint64_t id, const Sidecar& sidecar,
                           std::vector<std::string>* repaired) {
    ArchiveFileRecord record;
    record.trellanId = sidecar.trellanId;
    record.groupNumber = sidecar.groupNumber;
    record.afileId = sidecar.afileId;
    record.jobId = sidecar.jobId;
    record.stream = sidecar.stream;
    record.path = Store::relativeDataPath(id);
    record.createdAt = sidecar.createdAt;
    record.state = "writing";
    if (!sidecar.closed) return record;
    // The size first: data of another size cannot match, and is not read.
    EntryStatus status;
    const bool sized = store.storage().status(store.dataPath(id), &status) &&
                       status.kind == EntryStatus::Kind::Regular && status.size == sidecar.size;
    const bool read = sized && scan.fits(sidecar.size);
    std::string sha256, why;
    unsigned long long size = 0;
    const bool matches =
        sized && (!read || (hashData(store, store.dataPath(id), scan, &sha256, &size, &why) &&
                            size == sidecar.size && sha256 == sidecar.sha256));
    if (sized && !read) {
        repaired->push_back(nameOf(record) +
                            " entered as closed: its size matches its description, "
                            "its data was not read (" +
                            scan.unread(sidecar.size) + ")");
    }
    record.state = matches ? "closed" : "invalidated";
    record.size = sidecar.size;
    record.sha256 = sidecar.sha256;
    record.updatedAt = sidecar.closedAt;
    if (!matches) {
        repaired->push_back(nameOf(record) +
                            " entered as invalidated: its data does not match its description");
    }
    return record;
}

// What a rebuild entered, over every fill of the new catalog.
struct Rebuilt {
    unsigned long entered = 0;
    std::map<unsigned long long, std::string> jobs;  // job -> earliest creation time
};

// Fills the new catalog: every archive file whose data and description are
// there and agree on its id, then every job they name or that has a
// completion marker.
void fill(CatalogBackend& catalog, const Store& store, Scan& scan, const std::set<uint64_t>& data,
          const std::set<uint64_t>& sidecars, std::vector<std::string>* repaired,
          Rebuilt* rebuilt) {
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
        const ArchiveFileRecord record = recordOf(store, scan, id, sidecar, repaired);
        NewArchiveFile file;
        file.jobId = record.jobId;
        file.stream = record.stream;
        catalog.insertArchiveFile(record, file);
        crashPoint("repair: archive file entered");
        ++rebuilt->entered;
        auto& earliest = rebuilt->jobs[record.jobId];
        if (earliest.empty() || record.createdAt < earliest) earliest = record.createdAt;
    }
    for (const unsigned long long id : listJobFiles(store, "complete")) {
        rebuilt->jobs.emplace(id, "");
    }
    for (const auto& [id, createdAt] : rebuilt->jobs) {
        const bool marked = store.completionMarked(id);
        catalog.insertJob(CatalogJob{id, marked ? "complete" : "failed", createdAt, ""});
    }
    stopIfInterrupted();
}

}  // namespace

void rebuildFromFiles(const Store& store, Scan& scan, std::vector<std::string>* repaired) {
    std::set<uint64_t> data, sidecars;
    std::vector<std::string> other;
    listFiles(store, &data, &sidecars, &other);
    refuseWhileRunning(store, sidecars);
    Rebuilt rebuilt;
    const auto filler = [&](CatalogBackend& catalog) {
        fill(catalog, store, scan, data, sidecars, repaired, &rebuilt);
    };
    for (std::string& line : rebuildCatalog(store.catalogPlace(), filler)) {
        repaired->push_back(std::move(line));
    }
    unsigned long complete = 0;
    for (const auto& entry : rebuilt.jobs) complete += store.completionMarked(entry.first) ? 1 : 0;
    repaired->push_back(
        formatText("rebuilt the catalog from %lu archive files of %zu jobs (%lu complete)",
                   rebuilt.entered, rebuilt.jobs.size(), complete));
}

std::size_t remakeMarkers(const Store& store,
                          const std::map<unsigned long long, std::string>& unmarked,
                          std::vector<std::string>* repaired) {
    for (const auto& [job, completedAt] : unmarked) {
        const bool manifestKept = store.storage().exists(store.manifestPath(job));
        const std::string marker = store.markerPath(job);
        if (!store.storage().createDurably(
                marker,
                formatText("job_id=%llu\ncompleted_at=%s\n%s", job, completedAt.c_str(),
                           manifestKept ? "manifest=kept\n" : ""),
                store.modes()) &&
            errno != EEXIST) {
            throw StoreError(StoreError::Kind::Failed, systemError("cannot write", marker));
        }
        repaired->push_back(formatText(
            "job %llu: its completion marker was missing; remade from the catalog, which has "
            "the job complete%s",
            job,
            manifestKept ? ""
                         : " (the store keeps no manifest of it now: it restores from its "
                           "manifest file)"));
    }
    return unmarked.size();
}

}  // namespace localplatform::audit
