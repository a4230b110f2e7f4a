#include "maintenance/StoreListing.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/AgentError.h"
#include "base/Console.h"
#include "maintenance/RecordName.h"
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

// The table's rows: one per archive file, or a dash row for a job without
// files.
std::vector<std::vector<std::string>> tableRows(const std::vector<localplatform::JobRecord>& jobs) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"JOB", "STATE", "ARCHIVE FILE", "STREAM", "FILE STATE", "BYTES", "CREATED"});
    for (const auto& job : jobs) {
        const std::string id = std::to_string(job.jobId);
        const std::string state = jobState(job);
        if (job.files.empty()) rows.push_back({id, state, "-", "-", "-", "-", job.createdAt});
        for (const auto& file : job.files) {
            rows.push_back({id, state, recordName(file), std::to_string(file.stream),
                            fileState(file, job), std::to_string(file.size), file.createdAt});
        }
    }
    return rows;
}

// The table of list: numbers right-aligned.
void printTable(const std::vector<localplatform::JobRecord>& jobs) {
    printRows(tableRows(jobs), {false, false, false, true, false, true, false});
}

// The report's "jobs": each job with its archive files.
nlohmann::ordered_json jobsJson(const std::vector<localplatform::JobRecord>& jobs) {
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
        list.push_back({{"jobId", job.jobId},
                        {"state", jobState(job)},
                        {"createdAt", job.createdAt},
                        {"updatedAt", job.updatedAt},
                        {"archiveFiles", files}});
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
    if (report.enabled()) {
        report.add({{"store", store}, {"jobs", jobsJson(jobs)}});
    } else {
        printTable(jobs);
    }
    say("%zu job%s, %zu archive file%s in %s", jobs.size(), jobs.size() == 1 ? "" : "s", files,
        files == 1 ? "" : "s", store.c_str());
}
