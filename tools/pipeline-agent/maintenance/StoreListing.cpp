#include "maintenance/StoreListing.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/AgentError.h"
#include "base/Console.h"
#include "maintenance/RecordName.h"
#include "maintenance/StoredChains.h"
#include "maintenance/VerificationDates.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"
#include "report/TextTable.h"
#include "session/StoreSession.h"

namespace {

using localplatform::Access;

// A running job whose writer is gone crashed; cleanup will settle it.
std::string jobState(const localplatform::JobRecord& job) {
    return job.state == "running" && !job.writerAlive ? "crashed" : job.state;
}

// A file still being written by a writer that is gone will never be whole.
std::string fileState(const localplatform::ArchiveFileRecord& file,
                      const localplatform::JobRecord& job) {
    return file.state == "writing" && !job.writerAlive ? "incomplete" : file.state;
}

// The chain a listed job belongs to, as its manifest records it; null for
// a job without one (not complete, of WAL files, or made before sets).
const ManifestChain* linkedChain(const StoredChains& chains, unsigned long long job) {
    const auto found = chains.jobs.find(job);
    return found != chains.jobs.end() && found->second.chain ? &*found->second.chain : nullptr;
}

// The chains of the complete jobs, when one of those listed is a
// differential or incremental one; nothing otherwise, so that a store of
// full backups lists as it always did. A manifest or summary that cannot
// be read shows no chain (check names it).
std::optional<StoredChains> listedChains(const std::vector<localplatform::JobRecord>& jobs) {
    StoredChains chains;
    try {
        chains = readStoredChains(jobs);
    } catch (const AgentError& error) {
        if (error.kind() == AgentError::Kind::Interrupted) throw;
        return std::nullopt;
    }
    for (const auto& job : jobs) {
        const ManifestChain* chain = linkedChain(chains, job.jobId);
        if (chain && chain->type != BackupType::Full) return chains;
    }
    return std::nullopt;
}

// The table's rows: one per archive file, or a dash row for a job without
// files; with chains, each ends with the job's TYPE (full, diff, incr, or
// "-") and REFERENCE (the job it was compared with, or "-").
std::vector<std::vector<std::string>> tableRows(const std::vector<localplatform::JobRecord>& jobs,
                                                const std::optional<StoredChains>& chains) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"JOB", "STATE", "ARCHIVE FILE", "STREAM", "FILE STATE", "BYTES", "CREATED"});
    if (chains) rows.front().insert(rows.front().end(), {"TYPE", "REFERENCE"});
    for (const auto& job : jobs) {
        const std::string id = std::to_string(job.jobId);
        const std::string state = jobState(job);
        std::vector<std::string> link;
        if (chains) {
            const ManifestChain* chain = linkedChain(*chains, job.jobId);
            link = {chain ? backupTypeName(chain->type) : "-",
                    chain && chain->reference != 0 ? std::to_string(chain->reference) : "-"};
        }
        std::vector<std::vector<std::string>> own;
        if (job.files.empty()) own.push_back({id, state, "-", "-", "-", "-", job.createdAt});
        for (const auto& file : job.files) {
            own.push_back({id, state, recordName(file), std::to_string(file.stream),
                           fileState(file, job), std::to_string(file.size), file.createdAt});
        }
        for (auto& row : own) {
            row.insert(row.end(), link.begin(), link.end());
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

// The table of list: numbers right-aligned.
void printTable(const std::vector<localplatform::JobRecord>& jobs,
                const std::optional<StoredChains>& chains) {
    std::vector<bool> right = {false, false, false, true, false, true, false};
    if (chains) right.insert(right.end(), {false, false});
    printRows(tableRows(jobs, chains), right);
}

// A job's "backup" in the report, as its manifest records it: its set and
// type and, for a diff or incr, the job it was compared with, its full and
// how many jobs lie since.
nlohmann::ordered_json backupJson(const ManifestChain* chain) {
    if (!chain) return nullptr;
    nlohmann::ordered_json backup = {{"set", chain->set}, {"type", backupTypeName(chain->type)}};
    if (chain->type != BackupType::Full) {
        backup["reference"] = chain->reference;
        backup["full"] = chain->full;
        backup["depth"] = chain->depth;
    }
    return backup;
}

// The report's "jobs": each job with its archive files, and with chains its
// "backup" last.
nlohmann::ordered_json jobsJson(const std::vector<localplatform::JobRecord>& jobs,
                                const std::optional<StoredChains>& chains,
                                const VerificationDates& verified) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& job : jobs) {
        nlohmann::ordered_json files = nlohmann::ordered_json::array();
        for (const auto& file : job.files) {
            files.push_back({{"stream", file.stream},
                             {"trellanId", file.trellanId},
                             {"groupNumber", file.groupNumber},
                             {"afileId", file.afileId},
                             {"state", fileState(file, job)},
                             {"size", file.size},
                             {"sha256", file.sha256.empty() ? nlohmann::ordered_json(nullptr)
                                                            : nlohmann::ordered_json(file.sha256)},
                             {"createdAt", file.createdAt}});
        }
        nlohmann::ordered_json entry = {{"jobId", job.jobId},
                                        {"state", jobState(job)},
                                        {"createdAt", job.createdAt},
                                        {"updatedAt", job.updatedAt},
                                        {"lastVerified", nullptr},
                                        {"archiveFiles", files}};
        if (const auto date = verified.find(job.jobId); date != verified.end()) {
            entry["lastVerified"] = date->second;
        }
        if (chains) entry["backup"] = backupJson(linkedChain(*chains, job.jobId));
        list.push_back(entry);
    }
    return list;
}

}  // namespace

void listStore(const localplatform::Config& config, JsonReport& report, unsigned long long job) {
    openStoreFor(config, Access::ReadOnly, false);
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    if (job != 0) {
        std::erase_if(jobs, [job](const auto& each) { return each.jobId != job; });
        if (jobs.empty()) {
            throw badInput("the store " + localplatform::storeDirectory() + " has no job " +
                           std::to_string(job));
        }
    }
    std::size_t files = 0;
    for (const auto& job : jobs) files += job.files.size();
    const std::string store = localplatform::storeDirectory();
    const std::optional<StoredChains> chains = listedChains(jobs);
    if (report.enabled()) {
        std::string unread;
        const VerificationDates verified = storedVerificationDates(&unread);
        if (!unread.empty()) say("note: when jobs were verified is not known: %s", unread.c_str());
        report.add({{"store", store}, {"jobs", jobsJson(jobs, chains, verified)}});
    } else {
        printTable(jobs, chains);
    }
    say("%zu job%s, %zu archive file%s in %s", jobs.size(), jobs.size() == 1 ? "" : "s", files,
        files == 1 ? "" : "s", store.c_str());
}
