// Verifying a store, catalog against files, and rebuilding its catalog from
// the files' own descriptions and the jobs' completion markers.

#include "platform/local/store/StoreAudit.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Interruption.h"
#include "platform/local/StepHooks.h"
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

// A check or a repair asked to stop (SIGINT, SIGTERM) ends between two
// files, or between two chunks of a file; a repair then leaves the old catalog in place.
void stopIfInterrupted() {
    if (interrupted()) {
        throw StoreError(StoreError::Kind::Interrupted,
                         "stopped before the end; the store is as it was");
    }
}

// The data read for digests in one check or repair, against its limits.
class Scan {
public:
    explicit Scan(const CheckLimits& limits) : m_limits(limits) {}

    // Whether a file of size bytes may be read within the bound.
    bool fits(unsigned long long size) const {
        return !m_limits.maxBytes || size <= *m_limits.maxBytes - std::min(m_read, *m_limits.maxBytes);
    }
    void count(unsigned long long bytes, const std::string& path) {
        m_read += bytes;
        if (m_limits.progress) m_limits.progress(m_read, path);
    }
    // Why a file of size bytes was left unread.
    std::string unread(unsigned long long size) const {
        const unsigned long long bound = m_limits.maxBytes.value_or(0);
        return bound == 0 ? formatText("%llu bytes, sizes only", size)
                          : formatText("%llu bytes, past --max-bytes %llu", size, bound);
    }

private:
    const CheckLimits& m_limits;
    unsigned long long m_read = 0;
};

// The SHA-256 and size of a data file, read through the store's safe open.
bool hashData(const Store& store, const std::string& path, Scan& scan, std::string* sha256,
              unsigned long long* size, std::string* why) {
    const std::unique_ptr<StorageFile> file = store.openData(path, why);
    if (!file) return false;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool good = digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) == 1;
    std::vector<char> buffer(1 << 20);
    *size = 0;
    while (good) {
        stopIfInterrupted();
        const ssize_t count = file->readAt(buffer.data(), buffer.size(), *size);
        if (count < 0) {
            *why = systemError("cannot read", path);
            good = false;
            break;
        }
        if (count == 0) break;
        good = EVP_DigestUpdate(digest.get(), buffer.data(), static_cast<std::size_t>(count)) == 1;
        *size += static_cast<unsigned long long>(count);
        scan.count(static_cast<unsigned long long>(count), path);
    }
    if (!good) return false;
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.get(), bytes, &length) != 1) return false;
    sha256->clear();
    for (unsigned int i = 0; i < length; ++i) *sha256 += formatText("%02x", bytes[i]);
    return true;
}

// The number a store's name begins with: all of digits, in Number's range.
template <typename Number>
std::optional<Number> numberOf(const std::string& digits) {
    Number value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value);
    if (digits.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

// The N of files/N.arch and files/N.meta; other entries of files/ in *other,
// a number past an archive file id's range included.
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
        const auto id = std::regex_match(name, match, archiveName)
                            ? numberOf<uint32_t>(match[1].str())
                            : std::nullopt;
        if (!id) {
            other->push_back(name);
            continue;
        }
        (match[2] == "arch" ? data : sidecars)->insert(*id);
    }
}

// The job ids of jobs/<id>.<suffix>; a name whose number is no job id is
// left out (findUnusableEntries reports it).
std::set<unsigned long long> listJobFiles(const Store& store, const std::string& suffix) {
    std::set<unsigned long long> ids;
    std::vector<std::string> names;
    if (!store.storage().list(store.jobsDirectory(), &names)) return ids;
    const std::regex jobName("([0-9]{1,20})\\." + suffix);
    for (const std::string& name : names) {
        std::smatch match;
        if (!std::regex_match(name, match, jobName)) continue;
        if (const auto id = numberOf<unsigned long long>(match[1].str())) ids.insert(*id);
    }
    return ids;
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
        if (status.kind == EntryStatus::Kind::Link) {
            // Never followed: whoever put it there meant to lead the store's
            // writes elsewhere.
            problems->push_back(path + " is a symbolic link; the store follows none: remove it");
            continue;
        }
        if ((status.permissions & (S_IWGRP | S_IWOTH)) != 0) {
            problems->push_back(formatText(
                "%s can be written by users other than its owner (mode %04o); chmod go-w %s",
                path.c_str(), static_cast<unsigned>(status.permissions), path.c_str()));
        }
    }
}

// The entries of jobs/ and logs/ that no command can use, each with what it
// takes to put it right: a lock or a log that is no regular file (a link
// is never followed: whoever made it meant to lead the store's writes
// elsewhere), jobs/ itself when it is no folder, and a name of jobs/ whose
// number is no job id. Returns true when some of them are for check
// --repair to clear (clearUnusableEntries, and jobs/ at the store's
// opening); *clear gets their paths.
bool findUnusableEntries(const Store& store, std::vector<std::string>* problems,
                         std::vector<std::string>* clear = nullptr) {
    Storage& storage = store.storage();
    bool clearable = false;
    EntryStatus status;
    if (storage.status(store.jobsDirectory(), &status) &&
        status.kind != EntryStatus::Kind::Directory) {
        // A link is named with the store's other places (findWritableByOthers).
        if (status.kind != EntryStatus::Kind::Link) {
            problems->push_back(
                formatText("%s is %s, not the folder of the jobs' locks and markers; move it aside",
                           store.jobsDirectory().c_str(),
                           status.kind == EntryStatus::Kind::Regular ? "a regular file"
                                                                     : describeKind(status.kind)));
        }
        clearable = true;
    }
    static const std::regex numbered(R"(([0-9]+)\.(lock|complete|manifest\.json))");
    std::vector<std::string> names;
    if (storage.list(store.jobsDirectory(), &names)) {
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::smatch match;
            if (!std::regex_match(name, match, numbered)) continue;
            const std::string path = store.jobsDirectory() + "/" + name;
            if (!numberOf<unsigned long long>(match[1].str())) {
                problems->push_back(path +
                                    " is none of the store's: its number is no job id (at most "
                                    "18446744073709551615); remove it by hand");
                continue;
            }
            if (match[2] != "lock" || !storage.status(path, &status) ||
                status.kind == EntryStatus::Kind::Regular) {
                continue;
            }
            problems->push_back(formatText(
                "%s is %s, not a lock file: no backup, restore or deletion of job %s can take "
                "it; remove %s (never what it leads to)",
                path.c_str(), describeKind(status.kind), match[1].str().c_str(),
                status.kind == EntryStatus::Kind::Link ? "the link" : "it or move it aside"));
            if (clear) clear->push_back(path);
            clearable = true;
        }
    }
    const std::string logs = store.directory() + "/logs";
    names.clear();
    if (storage.list(logs, &names)) {
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".log") != 0) continue;
            const std::string path = logs + "/" + name;
            if (!storage.status(path, &status) || status.kind == EntryStatus::Kind::Regular) {
                continue;
            }
            problems->push_back(formatText(
                "%s is %s, not a log file: the command that writes it refuses to run; remove "
                "%s (never what it leads to)",
                path.c_str(), describeKind(status.kind),
                status.kind == EntryStatus::Kind::Link ? "the link" : "it or move it aside"));
            if (clear) clear->push_back(path);
            clearable = true;
        }
    }
    return clearable;
}

// Clears the locks and logs that findUnusableEntries finds (clearPlace):
// nothing can hold a lock that is no regular file, so no job at work loses
// one. Each line says what was done.
void clearUnusableEntries(const Store& store, std::vector<std::string>* cleared) {
    std::vector<std::string> ignored, paths;
    findUnusableEntries(store, &ignored, &paths);
    for (const std::string& path : paths) {
        std::string line = clearPlace(store.storage(), path, EntryStatus::Kind::Regular);
        if (!line.empty()) cleared->push_back(std::move(line));
    }
}

// The catalog as one moment left it: its own consistency check, its files
// and its jobs, read in one read transaction that ends before anything else
// is looked at.
struct CatalogView {
    std::vector<std::string> integrity;
    std::vector<ArchiveFileRecord> rows;
    std::vector<CatalogJob> jobs;
};

CatalogView readView(CatalogBackend& catalog, bool integrity) {
    CatalogView view;
    CatalogReadView transaction(catalog);
    if (integrity) view.integrity = catalog.integrityProblems();
    view.rows = catalog.archiveFiles();
    view.jobs = catalog.jobs();
    return view;
}

// What a look at the store found that a job at work could explain: a file
// or a marker made after the catalog was read, a job that completed since,
// a file removed since. Each is looked at again against a later view of the
// catalog before it is called a problem.
struct Suspect {
    enum class Kind {
        UnknownData,        // files/N.arch that the view lacks
        UnknownSidecar,     // files/N.meta without its data, that the view lacks
        MarkerUnknownJob,   // jobs/J.complete of a job the view lacks
        MarkerNotComplete,  // jobs/J.complete of a job the view has as not complete
        WriterGone,         // a job running in the view whose writer was gone
        Row,                // a problem of a file the view has, in the state it had
    };
    Kind kind;
    uint64_t id;                 // the archive file's id, or the job's
    std::string state;           // for Row: the file's state in the view
    unsigned long long job = 0;  // for Row: the file's job
    std::size_t slot;            // its place among the problems, empty until settled
    std::string problem;
};

// What a later look says of a suspect.
enum class Verdict {
    Explained,  // by a job at work
    Problem,
    Pending,  // a file being created: its description names no job yet
};

// Is the suspect explained by a job at work, given a later view of the
// catalog and the jobs whose writers lived before or after it was read?
// A file whose description gives it to a job that the catalog has and
// whose writer is gone was left by that writer: killed after it made the
// file and before its entry was committed. Its problem says so.
Verdict judge(const Store& store, Suspect& suspect,
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
    switch (suspect.kind) {
    case Suspect::Kind::UnknownData:
    case Suspect::Kind::UnknownSidecar: {
        // Entered since, or taken back by a creation that failed, or made by
        // a live job whose creation has not committed yet (a job is entered
        // before its first file is made: one the catalog lacks is no job at
        // work, its catalog was lost). A file is made before its
        // description is written: while jobs live, one without a readable
        // description may be a creation under way.
        if (rowById.count(suspect.id)) return Verdict::Explained;
        const std::string path = suspect.kind == Suspect::Kind::UnknownData
                                     ? store.dataPath(suspect.id)
                                     : store.sidecarPath(suspect.id);
        if (!store.storage().exists(path)) return Verdict::Explained;
        const auto job = jobOfDescription(suspect.id);
        if (!job) return live.empty() ? Verdict::Problem : Verdict::Pending;
        const auto known = jobById.find(*job);
        if (known == jobById.end()) return Verdict::Problem;
        if (live.count(*job)) return Verdict::Explained;
        const std::string& state = known->second->state;
        if (state == "running" || state == "failed") {
            suspect.problem += formatText(
                ": its description gives it to job %llu, whose writer stopped after making it "
                "and before entering it in the catalog, as a killed backup does (cleanup "
                "removes it)",
                *job);
        }
        return Verdict::Problem;
    }
    case Suspect::Kind::MarkerUnknownJob:
    case Suspect::Kind::MarkerNotComplete: {
        // Completed since, completing now (the marker comes first), or the
        // marker was taken back by a completion that failed.
        const auto job = jobById.find(suspect.id);
        if (job != jobById.end() && job->second->state == "complete") return Verdict::Explained;
        if (suspect.kind == Suspect::Kind::MarkerUnknownJob && job != jobById.end()) {
            return Verdict::Explained;
        }
        return verdict((live.count(suspect.id) && job != jobById.end()) ||
                       !store.completionMarked(suspect.id));
    }
    case Suspect::Kind::WriterGone: {
        const auto job = jobById.find(suspect.id);
        return verdict(job == jobById.end() || job->second->state != "running" ||
                       live.count(suspect.id));
    }
    case Suspect::Kind::Row: {
        // Changed since, or a file its live writer is still at: its
        // description grows as it is closed.
        const auto row = rowById.find(suspect.id);
        return verdict(row == rowById.end() || row->second->state != suspect.state ||
                       (suspect.state == "writing" && live.count(suspect.job) &&
                        jobById.count(suspect.job)));
    }
    }
    return Verdict::Problem;
}

// Looks at the suspects again against a later view of the catalog; while
// some are pending (files of a creation under way, it seems), again, for at
// most kSettleTime in all: a creation enters its file in the catalog moments
// after the file appears. Returns the suspects left, which are problems.
constexpr std::chrono::milliseconds kSettleTime{5000};
constexpr std::chrono::milliseconds kSettleStep{100};

// The jobs whose writers live are asked before the view is read and again
// after: a job that lived before is at work in the view or ended after
// committing what it made, and one that lives after can still commit; only
// a job that lived at neither time has left for good what the view lacks.
std::vector<Suspect> settle(const Store& store, CatalogBackend& catalog,
                            std::vector<Suspect> suspects) {
    const auto deadline = std::chrono::steady_clock::now() + kSettleTime;
    const auto liveness = store.liveness();
    std::vector<Suspect> problems;
    while (!suspects.empty()) {
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
        std::vector<Suspect> pending;
        for (Suspect& suspect : suspects) {
            const Verdict verdict = judge(store, suspect, rowById, jobById, liveNow);
            if (verdict == Verdict::Problem || (verdict == Verdict::Pending && last)) {
                problems.push_back(std::move(suspect));
            } else if (verdict == Verdict::Pending) {
                pending.push_back(std::move(suspect));
            }
        }
        suspects = std::move(pending);
        if (suspects.empty()) break;
        stopIfInterrupted();
        std::this_thread::sleep_for(kSettleStep);
    }
    return problems;
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

// What helps with one problem: the catalog's repair, cleanup of what a
// killed job left, deleting or marking a damaged complete job; or nothing,
// the problem being one of a job marked damaged, known and accepted.
struct Remedy {
    enum class Kind { Repair, Cleanup, DamagedJob, MarkedDamaged };
    Kind kind = Kind::Repair;
    unsigned long long job = 0;
};

// The catalog is read first, in one view; the files and markers are listed
// after it, so that whatever a job at work adds meanwhile is at most
// something the view lacks, which settle() looks at again.
// *unmarked (when given): the jobs that a catalog whose own check passed has
// complete, all of whose files are described, without a completion marker;
// with the time the catalog completed them.
CheckResult inspect(const Store& store, Scan& scan,
                    std::map<unsigned long long, std::string>* unmarked = nullptr) {
    CheckResult result;
    auto& problems = result.problems;
    std::vector<Suspect> suspects;
    const auto suspect = [&](Suspect::Kind kind, uint64_t id, std::string problem,
                             std::string state = "", unsigned long long job = 0) {
        suspects.push_back(
            {kind, id, std::move(state), job, problems.size(), std::move(problem)});
        problems.emplace_back();
    };
    // remedyOf[i]: what helps with problems[i]; problems found since the
    // last call take remedy.
    std::vector<Remedy> remedyOf;
    const auto remedy = [&](Remedy::Kind kind, unsigned long long job = 0) {
        remedyOf.resize(problems.size(), Remedy{kind, job});
    };
    std::unique_ptr<CatalogBackend> catalog;
    CatalogView view;
    try {
        catalog = store.catalog();
        view = readView(*catalog, true);
        for (const std::string& problem : view.integrity) problems.push_back(problem);
    } catch (const StoreError& error) {
        // A server that is down says nothing about the catalog: no problem
        // to repair, a check that failed.
        if (error.kind() == StoreError::Kind::Unreachable) throw;
        problems.push_back(std::string("the catalog cannot be read: ") + error.what());
        catalog.reset();
    }
    remedy(Remedy::Kind::Repair);
    const std::vector<ArchiveFileRecord>& rows = view.rows;
    const std::vector<CatalogJob>& jobs = view.jobs;

    std::map<unsigned long long, const CatalogJob*> jobById;
    for (const CatalogJob& job : jobs) jobById[job.jobId] = &job;
    std::set<uint64_t> entered;
    // What a file's problems are: a complete job's damage, which deleting or
    // marking it settles; what a killed job left, cleanup's; a job marked
    // damaged, known and accepted; else the catalog's.
    const auto classify = [&](const ArchiveFileRecord& row) {
        const auto job = jobById.find(row.jobId);
        const std::string state = job == jobById.end() ? "" : job->second->state;
        if (state == "damaged") {
            remedy(Remedy::Kind::MarkedDamaged, row.jobId);
        } else if (state == "complete") {
            remedy(Remedy::Kind::DamagedJob, row.jobId);
        } else if (state == "running" || state == "failed") {
            remedy(Remedy::Kind::Cleanup);
        } else {
            remedy(Remedy::Kind::Repair);
        }
    };
    const auto checkRow = [&](const ArchiveFileRecord& row) {
        entered.insert(row.afileId);
        ++result.files;
        const std::string name = nameOf(row);
        const auto rowProblem = [&](std::string problem) {
            suspect(Suspect::Kind::Row, row.afileId, std::move(problem), row.state, row.jobId);
        };
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
            // In object storage a file given up was never there: its upload
            // was dropped when its job failed.
            if (errno == ENOENT && row.state == "invalidated" &&
                !store.storage().showsUnfinishedFiles()) {
                return;
            }
            rowProblem(name + ": its data file " + full + " is missing");
            return;
        }
        if (status.kind != EntryStatus::Kind::Regular) {
            problems.push_back(name + ": its data file " + full + " is not a regular file");
            return;
        }
        Sidecar sidecar;
        if (!readSidecar(store.storage(), store.sidecarPath(row.afileId), &sidecar, &why)) {
            rowProblem(name + ": " + why);
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
        if (!scan.fits(size)) {
            result.unverified.push_back(name + ": " + scan.unread(size));
            return;
        }
        std::string sha256;
        unsigned long long hashed = 0;
        if (!hashData(store, full, scan, &sha256, &hashed, &why)) {
            rowProblem(name + ": " + why);
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
                remedy(Remedy::Kind::Cleanup);
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
                    remedy(Remedy::Kind::Repair);
                    if (unmarked && view.integrity.empty()) {
                        (*unmarked)[job.jobId] = job.updatedAt;
                    }
                }
            }
            for (const auto* file : filesOf[job.jobId]) {
                if (file->state != "closed") {
                    problems.push_back(formatText("job %llu is complete but its %s is %s",
                                                  job.jobId, nameOf(*file).c_str(),
                                                  file->state.c_str()));
                    remedy(Remedy::Kind::DamagedJob, job.jobId);
                }
            }
        } else if (marked) {
            suspect(Suspect::Kind::MarkerNotComplete, job.jobId,
                    formatText("job %llu has a completion marker but the catalog says %s",
                               job.jobId, job.state.c_str()));
            remedy(Remedy::Kind::Cleanup);
        } else if (job.state == "running" && !store.jobLockHeld(job.jobId)) {
            suspect(Suspect::Kind::WriterGone, job.jobId,
                    formatText("job %llu is running in the catalog but its writer is gone "
                               "(cleanup removes it)",
                               job.jobId));
            remedy(Remedy::Kind::Cleanup);
        }
    }
    for (const unsigned long long id : listJobFiles(store, "complete")) {
        if (!jobById.count(id)) {
            suspect(Suspect::Kind::MarkerUnknownJob, id,
                    formatText("job %llu has a completion marker but is not in the catalog", id));
            remedy(Remedy::Kind::Repair);
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
        const bool ofComplete =
            readSidecar(store.storage(), store.sidecarPath(id), &sidecar, &why) &&
            store.completionMarked(sidecar.jobId);
        remedy(ofComplete ? Remedy::Kind::Repair : Remedy::Kind::Cleanup);
    };
    for (const uint64_t id : data) {
        if (!entered.count(id)) {
            suspect(Suspect::Kind::UnknownData, id, store.dataPath(id) + " is not in the catalog");
            leftBehind(id);
        }
    }
    for (const uint64_t id : sidecars) {
        if (!entered.count(id) && !data.count(id)) {
            suspect(Suspect::Kind::UnknownSidecar, id,
                    store.sidecarPath(id) + " describes a data file that is missing");
            leftBehind(id);
        }
    }
    for (const std::string& name : other) {
        problems.push_back(store.filesDirectory() + "/" + name +
                           " is neither an archive file nor a description");
    }
    remedy(Remedy::Kind::Repair);
    // Without a catalog there is nothing to look at again: every suspect
    // stands.
    if (catalog) suspects = settle(store, *catalog, std::move(suspects));
    for (Suspect& each : suspects) problems[each.slot] = std::move(each.problem);
    // Explained suspects left their slots empty; a marked damaged job's
    // problems are notes.
    Remedies remedies;
    std::vector<std::string> standing, damage;
    for (std::size_t i = 0; i < problems.size(); ++i) {
        if (problems[i].empty()) continue;
        const Remedy& what = remedyOf[i];
        switch (what.kind) {
        case Remedy::Kind::MarkedDamaged:
            damage.push_back(problems[i] + formatText(" (job %llu is marked damaged)", what.job));
            continue;
        case Remedy::Kind::DamagedJob: remedies.damagedJobs.insert(what.job); break;
        case Remedy::Kind::Cleanup: remedies.cleanup = true; break;
        case Remedy::Kind::Repair: remedies.repair = true; break;
        }
        standing.push_back(std::move(problems[i]));
    }
    problems = std::move(standing);
    // The damage of the files first, then what the jobs' states say.
    result.notes.insert(result.notes.begin(), damage.begin(), damage.end());
    result.advice = adviceFor(remedies);
    return result;
}

// From files/ and jobs/ alone: a job with a completion marker is complete,
// any other failed (no job runs: repair refuses otherwise); a file is closed
// when its data matches the closing line of its description, invalidated
// when it does not, and "writing" without a closing line.
void rebuild(const Store& store, Scan& scan, std::vector<std::string>* repaired) {
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
                // The size first: data of another size cannot match, and is
                // not read.
                EntryStatus status;
                const bool sized = store.storage().status(store.dataPath(id), &status) &&
                                   status.kind == EntryStatus::Kind::Regular &&
                                   status.size == sidecar.size;
                const bool read = sized && scan.fits(sidecar.size);
                std::string sha256;
                unsigned long long size = 0;
                const bool matches =
                    sized && (!read || (hashData(store, store.dataPath(id), scan, &sha256, &size,
                                                 &why) &&
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

// Writes the completion markers of jobs that the catalog has complete and
// that lost theirs (jobs/ replaced, say), so that a catalog rebuilt from the
// markers keeps them complete: as completeJob writes them, the manifest
// kept when the store still has it. Returns how many it wrote; throws
// StoreError when one cannot be written, before anything is rebuilt.
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

}  // namespace

CheckResult auditStore(const std::shared_ptr<Store>& store, bool repair,
                       const CheckLimits& limits) {
    if (repair) store->requireWritable("check --repair");
    Scan scan(limits);
    // What stood where jobs/, a lock or a log belongs is cleared first (the
    // store's opening cleared jobs/ and this run's log).
    std::vector<std::string> cleared = store->clearedPlaces();
    if (repair) clearUnusableEntries(*store, &cleared);
    std::map<unsigned long long, std::string> unmarked;
    CheckResult found = inspect(*store, scan, repair ? &unmarked : nullptr);
    if (repair && !found.problems.empty()) {
        std::vector<std::string> repaired;
        for (const std::string& problem : found.problems) repaired.push_back("found: " + problem);
        // Only the markers missing: the catalog stays.
        if (remakeMarkers(*store, unmarked, &repaired) < found.problems.size()) {
            rebuild(*store, scan, &repaired);
        }
        for (const std::string& line : repaired) platformDebug("check --repair: " + line);
        found = inspect(*store, scan);
        found.repaired = std::move(repaired);
    }
    for (const std::string& line : cleared) platformDebug("check --repair: " + line);
    found.repaired.insert(found.repaired.begin(), cleared.begin(), cleared.end());
    // Not the catalog's to mend: said, never repaired.
    found.repairable = found.problems.size();
    findWritableByOthers(*store, &found.problems);
    if (findUnusableEntries(*store, &found.problems)) {
        found.advice.push_back(
            "`check --repair` removes such links (never what they lead to) and moves aside "
            "what else stands where jobs/, a lock or a log belongs");
    }
    if (!found.problems.empty()) {
        try {
            found.running = store->liveness()->liveJobs().size();
        } catch (const StoreError&) {
            found.running = 0;  // not known: the advice is then the usual one
        }
    }
    return found;
}

}  // namespace localplatform
