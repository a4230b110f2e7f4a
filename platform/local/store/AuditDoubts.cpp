// The doubts of an audit, looked at again until each is explained by a
// job at work or stands as a problem.

#include "platform/local/store/AuditDoubts.h"

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "platform/local/StepHooks.h"
#include "platform/local/base/Format.h"
#include "platform/local/store/AuditScan.h"
#include "platform/local/store/Sidecar.h"
#include "platform/local/store/Store.h"

namespace localplatform::audit {

namespace {

constexpr std::chrono::milliseconds kSettleTime{5000};
constexpr std::chrono::milliseconds kSettleStep{100};

// What a later look says of a doubt.
enum class Verdict {
    Explained,  // by a job at work
    Problem,
    Pending,  // a file being created: its description names no job yet
};

// Is the doubt explained by a job at work, given a later view of the
// catalog and the jobs whose writers lived before or after it was read?
// A file whose description gives it to a job that the catalog has and
// whose writer is gone was left by that writer: killed after it made the
// file and before its entry was committed. Its problem says so.
Verdict judge(const Store& store, Doubt& doubt,
              const std::map<uint64_t, const ArchiveFileRecord*>& rowById,
              const std::map<unsigned long long, const CatalogJob*>& jobById,
              const std::set<unsigned long long>& live) {
    const auto jobOfDescription = [&](uint64_t afileId) -> std::optional<unsigned long long> {
        Sidecar sidecar;
        std::string why;
        if (!readSidecar(store.storage(), store.sidecarPath(afileId), &sidecar, &why)) {
            return std::nullopt;
        }
        return sidecar.jobId;
    };
    const auto verdict = [](bool explained) {
        return explained ? Verdict::Explained : Verdict::Problem;
    };
    switch (doubt.kind) {
    case Doubt::Kind::UnknownData:
    case Doubt::Kind::UnknownSidecar: {
        // Entered since, or taken back by a creation that failed, or made by
        // a live job whose creation has not committed yet (a job is entered
        // before its first file is made: one the catalog lacks is no job at
        // work, its catalog was lost). A file is made before its
        // description is written: while jobs live, one without a readable
        // description may be a creation under way.
        if (rowById.count(doubt.id)) return Verdict::Explained;
        const std::string path = doubt.kind == Doubt::Kind::UnknownData
                                     ? store.dataPath(doubt.id)
                                     : store.sidecarPath(doubt.id);
        if (!store.storage().exists(path)) return Verdict::Explained;
        const auto job = jobOfDescription(doubt.id);
        if (!job) return live.empty() ? Verdict::Problem : Verdict::Pending;
        const auto known = jobById.find(*job);
        if (known == jobById.end()) return Verdict::Problem;
        if (live.count(*job)) return Verdict::Explained;
        const std::string& state = known->second->state;
        if (state == "running" || state == "failed") {
            doubt.problem += formatText(
                ": its description gives it to job %llu, whose writer stopped after making it "
                "and before entering it in the catalog, as a killed backup does (cleanup "
                "removes it)",
                *job);
        }
        return Verdict::Problem;
    }
    case Doubt::Kind::MarkerUnknownJob:
    case Doubt::Kind::MarkerNotComplete: {
        // Completed since, completing now (the marker comes first), or the
        // marker was taken back by a completion that failed.
        const auto job = jobById.find(doubt.id);
        if (job != jobById.end() && job->second->state == "complete") return Verdict::Explained;
        if (doubt.kind == Doubt::Kind::MarkerUnknownJob && job != jobById.end()) {
            return Verdict::Explained;
        }
        return verdict((live.count(doubt.id) && job != jobById.end()) ||
                       !store.completionMarked(doubt.id));
    }
    case Doubt::Kind::WriterGone: {
        const auto job = jobById.find(doubt.id);
        return verdict(job == jobById.end() || job->second->state != "running" ||
                       live.count(doubt.id));
    }
    case Doubt::Kind::Row: {
        // Changed since, or a file its live writer is still at: its
        // description grows as it is closed.
        const auto row = rowById.find(doubt.id);
        return verdict(
            row == rowById.end() || row->second->state != doubt.state ||
            (doubt.state == "writing" && live.count(doubt.job) && jobById.count(doubt.job)));
    }
    }
    return Verdict::Problem;
}

}  // namespace

CatalogView readView(CatalogBackend& catalog, bool integrity) {
    CatalogView view;
    CatalogReadView transaction(catalog);
    if (integrity) view.integrity = catalog.integrityProblems();
    view.rows = catalog.archiveFiles();
    view.jobs = catalog.jobs();
    return view;
}

std::vector<Doubt> settle(const Store& store, CatalogBackend& catalog, std::vector<Doubt> doubts) {
    const auto deadline = std::chrono::steady_clock::now() + kSettleTime;
    const auto liveness = store.liveness();
    std::vector<Doubt> problems;
    while (!doubts.empty()) {
        const std::vector<unsigned long long> liveBefore = liveness->liveJobs();
        const CatalogView view = readView(catalog, false);
        crashPoint("check: catalog read again");
        const std::vector<unsigned long long> liveList = liveness->liveJobs();
        std::set<unsigned long long> liveNow(liveList.begin(), liveList.end());
        liveNow.insert(liveBefore.begin(), liveBefore.end());
        std::map<uint64_t, const ArchiveFileRecord*> rowById;
        for (const ArchiveFileRecord& row : view.rows) rowById[row.afileId] = &row;
        std::map<unsigned long long, const CatalogJob*> jobById;
        for (const CatalogJob& job : view.jobs) jobById[job.jobId] = &job;
        const bool last = std::chrono::steady_clock::now() >= deadline;
        std::vector<Doubt> pending;
        for (Doubt& doubt : doubts) {
            const Verdict verdict = judge(store, doubt, rowById, jobById, liveNow);
            if (verdict == Verdict::Problem || (verdict == Verdict::Pending && last)) {
                problems.push_back(std::move(doubt));
            } else if (verdict == Verdict::Pending) {
                pending.push_back(std::move(doubt));
            }
        }
        doubts = std::move(pending);
        if (doubts.empty()) break;
        stopIfInterrupted();
        std::this_thread::sleep_for(kSettleStep);
    }
    return problems;
}

}  // namespace localplatform::audit
