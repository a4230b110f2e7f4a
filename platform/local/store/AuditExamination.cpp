// One look at a store, catalog against files: what is wrong, what a job at
// work explains, and which command helps with the rest.

#include "platform/local/store/AuditExamination.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "platform/local/Config.h"
#include "platform/local/base/Format.h"
#include "platform/local/catalog/CatalogBackend.h"
#include "platform/local/store/AuditDoubts.h"
#include "platform/local/store/AuditScan.h"
#include "platform/local/store/Sidecar.h"
#include "platform/local/store/Store.h"

namespace localplatform::audit {

namespace {

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

// What helps with one problem: the catalog's repair, cleanup of what a
// killed job left, deleting or marking a damaged complete job; or nothing,
// the problem being one of a job marked damaged, known and accepted.
struct Remedy {
    enum class Kind { Repair, Cleanup, DamagedJob, MarkedDamaged };
    Kind kind = Kind::Repair;
    unsigned long long job = 0;
};

// One examination, run once: the problems found so far in the order found,
// what helps with each, and the doubts among them, whose places stay
// empty until settle() says whether they stand.
class Examination {
public:
    Examination(const Store& store, Scan& scan, std::map<unsigned long long, std::string>* unmarked)
        : m_store(store), m_scan(scan), m_unmarked(unmarked) {}
    Examination(const Examination&) = delete;
    Examination& operator=(const Examination&) = delete;

    CheckResult run();

private:
    // A problem that a job at work could explain: its place among the
    // problems is kept, empty until it is settled.
    void doubt(Doubt::Kind kind, uint64_t id, std::string problem, std::string state = "",
               unsigned long long job = 0);
    // A problem of the row that a later view may show changed.
    void rowProblem(const ArchiveFileRecord& row, std::string problem);
    // The problems found since the last call take remedy.
    void remedy(Remedy::Kind kind, unsigned long long job = 0);

    void readCatalog();
    // The view's rows in the order their data is read: the scan's first
    // jobs' rows, in its order, then the others as the catalog has them.
    std::vector<const ArchiveFileRecord*> rowsInReadingOrder() const;
    void checkRow(const ArchiveFileRecord& row);
    // A closed file's data against its entry and description: sizes, then
    // (within the scan's bound) the digest.
    void checkClosedData(const ArchiveFileRecord& row, const std::string& name,
                         const std::string& full, unsigned long long size, const Sidecar& sidecar);
    void classify(const ArchiveFileRecord& row);
    void checkJobs();
    // A complete job (marked: it has its completion marker) and its files.
    void checkCompleteJob(const CatalogJob& job, bool marked,
                          const std::vector<const ArchiveFileRecord*>& files);
    // The complete jobs all of whose files were read whole and matched.
    void findJobsRead(const std::vector<const ArchiveFileRecord*>& order);
    void checkMarkers();
    void checkUnentered();
    void leftBehind(uint64_t id);
    void conclude();

    const Store& m_store;
    Scan& m_scan;
    std::map<unsigned long long, std::string>* const m_unmarked;
    CheckResult m_result;
    std::vector<std::string>& m_problems = m_result.problems;
    std::vector<Doubt> m_doubts;
    // m_remedyOf[i]: what helps with m_problems[i].
    std::vector<Remedy> m_remedyOf;
    std::unique_ptr<CatalogBackend> m_catalog;  // null when it cannot be read
    CatalogView m_view;
    std::map<unsigned long long, const CatalogJob*> m_jobById;
    std::set<uint64_t> m_entered;    // the archive file ids the view has
    std::set<uint64_t> m_readWhole;  // closed files whose data was read and matched
};

void Examination::doubt(Doubt::Kind kind, uint64_t id, std::string problem, std::string state,
                        unsigned long long job) {
    m_doubts.push_back({kind, id, std::move(state), job, m_problems.size(), std::move(problem)});
    m_problems.emplace_back();
}

void Examination::rowProblem(const ArchiveFileRecord& row, std::string problem) {
    doubt(Doubt::Kind::Row, row.afileId, std::move(problem), row.state, row.jobId);
}

void Examination::remedy(Remedy::Kind kind, unsigned long long job) {
    m_remedyOf.resize(m_problems.size(), Remedy{kind, job});
}

CheckResult Examination::run() {
    readCatalog();
    for (const CatalogJob& job : m_view.jobs) m_jobById[job.jobId] = &job;
    const std::vector<const ArchiveFileRecord*> order = rowsInReadingOrder();
    for (const ArchiveFileRecord* row : order) {
        stopIfInterrupted();
        checkRow(*row);
        classify(*row);
    }
    checkJobs();
    findJobsRead(order);
    checkMarkers();
    checkUnentered();
    // Without a catalog there is nothing to look at again: every doubt
    // stands.
    if (m_catalog) m_doubts = settle(m_store, *m_catalog, std::move(m_doubts));
    for (Doubt& each : m_doubts) m_problems[each.slot] = std::move(each.problem);
    conclude();
    return std::move(m_result);
}

void Examination::readCatalog() {
    try {
        m_catalog = m_store.catalog();
        m_view = readView(*m_catalog, true);
        for (const std::string& problem : m_view.integrity) m_problems.push_back(problem);
    } catch (const StoreError& error) {
        // A server that is down says nothing about the catalog: no problem
        // to repair, a check that failed.
        if (error.kind() == StoreError::Kind::Unreachable) throw;
        m_problems.push_back(std::string("the catalog cannot be read: ") + error.what());
        m_catalog.reset();
    }
    remedy(Remedy::Kind::Repair);
}

std::vector<const ArchiveFileRecord*> Examination::rowsInReadingOrder() const {
    std::map<unsigned long long, std::size_t> rank;
    for (const unsigned long long job : m_scan.readFirst()) rank.try_emplace(job, rank.size());
    std::vector<const ArchiveFileRecord*> order;
    for (const ArchiveFileRecord& row : m_view.rows) order.push_back(&row);
    const auto rankOf = [&rank](const ArchiveFileRecord* row) {
        const auto found = rank.find(row->jobId);
        return found == rank.end() ? rank.size() : found->second;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](const auto* a, const auto* b) { return rankOf(a) < rankOf(b); });
    return order;
}

// What a file's problems are: a complete job's damage, which deleting or
// marking it settles; what a killed job left, cleanup's; a job marked
// damaged, known and accepted; else the catalog's.
void Examination::classify(const ArchiveFileRecord& row) {
    const auto job = m_jobById.find(row.jobId);
    const std::string state = job == m_jobById.end() ? "" : job->second->state;
    if (state == "damaged") {
        remedy(Remedy::Kind::MarkedDamaged, row.jobId);
    } else if (state == "complete") {
        remedy(Remedy::Kind::DamagedJob, row.jobId);
    } else if (state == "running" || state == "failed") {
        remedy(Remedy::Kind::Cleanup);
    } else {
        remedy(Remedy::Kind::Repair);
    }
}

void Examination::checkRow(const ArchiveFileRecord& row) {
    m_entered.insert(row.afileId);
    ++m_result.files;
    const std::string name = nameOf(row);
    const auto job = m_jobById.find(row.jobId);
    // A job being deleted lacks what its deletion removed so far.
    if (job != m_jobById.end() && job->second->state == "deleting") return;
    if (job == m_jobById.end()) m_problems.push_back(name + ": its job is not in the catalog");
    std::string full, why;
    if (!m_store.resolve(row.path, &full, &why)) {
        m_problems.push_back(name + ": " + why);
        return;
    }
    EntryStatus status;
    if (!m_store.storage().status(full, &status)) {
        // In object storage a file given up was never there: its upload
        // was dropped when its job failed.
        if (errno == ENOENT && row.state == "invalidated" &&
            !m_store.storage().showsUnfinishedFiles()) {
            return;
        }
        rowProblem(row, name + ": its data file " + full + " is missing");
        return;
    }
    if (status.kind != EntryStatus::Kind::Regular) {
        m_problems.push_back(name + ": its data file " + full + " is not a regular file");
        return;
    }
    Sidecar sidecar;
    if (!readSidecar(m_store.storage(), m_store.sidecarPath(row.afileId), &sidecar, &why)) {
        rowProblem(row, name + ": " + why);
        return;
    }
    if (sidecar.trellanId != row.trellanId || sidecar.groupNumber != row.groupNumber ||
        sidecar.afileId != row.afileId || sidecar.jobId != row.jobId ||
        sidecar.stream != row.stream) {
        m_problems.push_back(formatText(
            "%s: its description names %s of job %llu stream %lu", name.c_str(),
            archiveFileName(sidecar.trellanId, sidecar.groupNumber, sidecar.afileId).c_str(),
            sidecar.jobId, sidecar.stream));
        return;
    }
    if (row.state != "closed") return;
    checkClosedData(row, name, full, status.size, sidecar);
}

void Examination::checkClosedData(const ArchiveFileRecord& row, const std::string& name,
                                  const std::string& full, unsigned long long size,
                                  const Sidecar& sidecar) {
    if (!sidecar.closed) {
        m_problems.push_back(name +
                             ": closed in the catalog, but its description was never closed");
        return;
    }
    if (size != row.size || sidecar.size != row.size) {
        m_problems.push_back(formatText(
            "%s: its data file has %llu bytes; the catalog records %llu, its description %llu",
            name.c_str(), size, row.size, sidecar.size));
        return;
    }
    if (!m_scan.fits(size)) {
        m_result.unverified.push_back(name + ": " + m_scan.unread(size));
        return;
    }
    std::string sha256, why;
    unsigned long long hashed = 0;
    if (!hashData(m_store, full, m_scan, &sha256, &hashed, &why)) {
        rowProblem(row, name + ": " + why);
        return;
    }
    m_result.bytes += hashed;
    if (sha256 != sidecar.sha256 || (!row.sha256.empty() && row.sha256 != sidecar.sha256)) {
        m_problems.push_back(name + ": its data's SHA-256 is " + sha256 +
                             "; its description records " + sidecar.sha256 +
                             (row.sha256.empty() ? "" : ", the catalog " + row.sha256));
        return;
    }
    if (hashed == row.size) m_readWhole.insert(row.afileId);
}

void Examination::findJobsRead(const std::vector<const ArchiveFileRecord*>& order) {
    std::map<unsigned long long, bool> whole;  // by job: every file so far read whole
    std::vector<unsigned long long> jobs;      // in the order their first file was read
    for (const ArchiveFileRecord* row : order) {
        const auto [found, fresh] = whole.try_emplace(row->jobId, true);
        if (fresh) jobs.push_back(row->jobId);
        found->second = found->second && m_readWhole.count(row->afileId) > 0;
    }
    for (const unsigned long long id : jobs) {
        const auto job = m_jobById.find(id);
        if (whole[id] && job != m_jobById.end() && job->second->state == "complete" &&
            m_store.completionMarked(id)) {
            m_result.jobsRead.push_back(id);
        }
    }
}

void Examination::checkJobs() {
    std::map<unsigned long long, std::vector<const ArchiveFileRecord*>> filesOf;
    for (const ArchiveFileRecord& row : m_view.rows) filesOf[row.jobId].push_back(&row);
    const auto liveness = m_store.liveness();
    for (const CatalogJob& job : m_view.jobs) {
        const bool marked = m_store.completionMarked(job.jobId);
        if (job.state == "deleting") {
            // Its deleter holds the job's lock while it works; one that is
            // gone left the rest to cleanup.
            if (!liveness->probe(job.jobId)) {
                m_result.notes.push_back(formatText("job %llu is being deleted", job.jobId));
            } else {
                m_problems.push_back(formatText(
                    "job %llu was being deleted when its deleter stopped (cleanup finishes it)",
                    job.jobId));
                remedy(Remedy::Kind::Cleanup);
            }
            continue;
        }
        if (job.state == "damaged") {
            m_result.notes.push_back(formatText(
                "job %llu is marked damaged: kept, restorable file by file where its archive "
                "files are whole",
                job.jobId));
            continue;
        }
        if (job.state == "complete") {
            checkCompleteJob(job, marked, filesOf[job.jobId]);
        } else if (marked) {
            doubt(Doubt::Kind::MarkerNotComplete, job.jobId,
                  formatText("job %llu has a completion marker but the catalog says %s", job.jobId,
                             job.state.c_str()));
            remedy(Remedy::Kind::Cleanup);
        } else if (job.state == "running" && !m_store.jobLockHeld(job.jobId)) {
            doubt(Doubt::Kind::WriterGone, job.jobId,
                  formatText("job %llu is running in the catalog but its writer is gone "
                             "(cleanup removes it)",
                             job.jobId));
            remedy(Remedy::Kind::Cleanup);
        }
    }
}

void Examination::checkCompleteJob(const CatalogJob& job, bool marked,
                                   const std::vector<const ArchiveFileRecord*>& files) {
    if (!marked && !m_view.rows.empty()) {
        // A job completed before completion markers existed has none;
        // only one whose files all carry descriptions should.
        bool described = true;
        for (const auto* file : files) {
            described = described && m_store.storage().exists(m_store.sidecarPath(file->afileId));
        }
        if (described && !files.empty()) {
            m_problems.push_back(
                formatText("job %llu is complete in the catalog but has no completion marker %s",
                           job.jobId, m_store.markerPath(job.jobId).c_str()));
            remedy(Remedy::Kind::Repair);
            if (m_unmarked && m_view.integrity.empty()) {
                (*m_unmarked)[job.jobId] = job.updatedAt;
            }
        }
    }
    for (const auto* file : files) {
        if (file->state != "closed") {
            m_problems.push_back(formatText("job %llu is complete but its %s is %s", job.jobId,
                                            nameOf(*file).c_str(), file->state.c_str()));
            remedy(Remedy::Kind::DamagedJob, job.jobId);
        }
    }
}

void Examination::checkMarkers() {
    for (const unsigned long long id : listJobFiles(m_store, "complete")) {
        if (!m_jobById.count(id)) {
            doubt(Doubt::Kind::MarkerUnknownJob, id,
                  formatText("job %llu has a completion marker but is not in the catalog", id));
            remedy(Remedy::Kind::Repair);
        }
    }
}

void Examination::checkUnentered() {
    std::set<uint64_t> data, sidecars;
    std::vector<std::string> other;
    listFiles(m_store, &data, &sidecars, &other);
    for (const uint64_t id : data) {
        if (!m_entered.count(id)) {
            doubt(Doubt::Kind::UnknownData, id, m_store.dataPath(id) + " is not in the catalog");
            leftBehind(id);
        }
    }
    for (const uint64_t id : sidecars) {
        if (!m_entered.count(id) && !data.count(id)) {
            doubt(Doubt::Kind::UnknownSidecar, id,
                  m_store.sidecarPath(id) + " describes a data file that is missing");
            leftBehind(id);
        }
    }
    for (const std::string& name : other) {
        m_problems.push_back(m_store.filesDirectory() + "/" + name +
                             " is neither an archive file nor a description");
    }
    remedy(Remedy::Kind::Repair);
}

// A file without an entry that a killed creation left is cleanup's; one
// of a complete job, whose entry the catalog lost, the repair's.
void Examination::leftBehind(uint64_t id) {
    Sidecar sidecar;
    std::string why;
    const bool ofComplete =
        readSidecar(m_store.storage(), m_store.sidecarPath(id), &sidecar, &why) &&
        m_store.completionMarked(sidecar.jobId);
    remedy(ofComplete ? Remedy::Kind::Repair : Remedy::Kind::Cleanup);
}

// Explained doubts left their slots empty; a marked damaged job's
// problems are notes.
void Examination::conclude() {
    Remedies remedies;
    std::vector<std::string> standing, damage;
    for (std::size_t i = 0; i < m_problems.size(); ++i) {
        if (m_problems[i].empty()) continue;
        const Remedy& what = m_remedyOf[i];
        switch (what.kind) {
        case Remedy::Kind::MarkedDamaged:
            damage.push_back(m_problems[i] + formatText(" (job %llu is marked damaged)", what.job));
            continue;
        case Remedy::Kind::DamagedJob: remedies.damagedJobs.insert(what.job); break;
        case Remedy::Kind::Cleanup: remedies.cleanup = true; break;
        case Remedy::Kind::Repair: remedies.repair = true; break;
        }
        standing.push_back(std::move(m_problems[i]));
    }
    m_problems = std::move(standing);
    // The damage of the files first, then what the jobs' states say.
    m_result.notes.insert(m_result.notes.begin(), damage.begin(), damage.end());
    m_result.advice = adviceFor(remedies);
}

}  // namespace

CheckResult examine(const Store& store, Scan& scan,
                    std::map<unsigned long long, std::string>* unmarked) {
    return Examination(store, scan, unmarked).run();
}

}  // namespace localplatform::audit
