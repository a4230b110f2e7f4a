#include "jobs/StoreCommands.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "base/Progress.h"
#include "inputs/SqliteSnapshot.h"
#include "jobs/AgentStore.h"
#include "jobs/FrameChecks.h"
#include "jobs/JobContents.h"
#include "jobs/RestoreJob.h"
#include "manifest/Manifest.h"
#include "outputs/PartialOutputs.h"
#include "report/TextTable.h"

namespace {

using localplatform::Access;

std::string identity(const localplatform::ArchiveFileRecord& file) {
    return archiveFileName({file.stream, file.trellanId, file.groupNumber, file.afileId});
}

// A running job whose writer is gone crashed; cleanup will settle it.
std::string jobState(const localplatform::JobRecord& job) {
    return job.state == "running" && !job.writerAlive ? "crashed" : job.state;
}

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
            rows.push_back({id, state, identity(file), std::to_string(file.stream),
                            fileState(file, job), std::to_string(file.size), file.createdAt});
        }
    }
    return rows;
}

// The table of list: numbers right-aligned.
void printTable(const std::vector<localplatform::JobRecord>& jobs) {
    printRows(tableRows(jobs), {false, false, false, true, false, true, false});
}

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

void cleanUpStore(const localplatform::Config& config) {
    openStoreFor(config, Access::ReadWrite, false);
    localplatform::CleanupResult result;
    try {
        result = localplatform::cleanup();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    for (const auto& file : result.removed) {
        std::printf("removed %s (job %llu stream %lu, %s)\n", identity(file).c_str(), file.jobId,
                    file.stream, file.state == "writing" ? "incomplete" : file.state.c_str());
    }
    for (const unsigned long long job : result.jobsFailed) {
        std::printf("job %llu did not complete; marked failed\n", job);
    }
    std::vector<std::string> refused = result.refused;
    const auto partial = sweepPartialOutputs(partialOutputDirectory(), &refused);
    for (const auto& file : partial) std::printf("removed partial output %s\n", file.c_str());
    const auto snapshots = sweepSnapshots(localplatform::storeDirectory() + "/tmp");
    for (const auto& file : snapshots) {
        std::printf("removed SQLite snapshot tmp/%s of a backup that did not end\n", file.c_str());
    }
    if (result.removed.empty() && result.jobsFailed.empty() && partial.empty() &&
        snapshots.empty()) {
        std::printf("nothing to remove\n");
    }
    std::fflush(stdout);
    for (const auto& line : refused) say("left alone: %s", line.c_str());
}

void checkStore(const localplatform::Config& config, bool repair, JsonReport& report,
                const KeySource& key) {
    openStoreFor(config, repair ? Access::ReadWrite : Access::ReadOnly, false);
    // A signal stops the check, or the repair before its catalog replaces
    // the old one, between two archive files.
    onInterrupt([](int) { localplatform::interrupt(); });
    localplatform::CheckResult result;
    try {
        result = localplatform::check(repair);
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    for (std::string& problem : storedManifestProblems(config)) {
        result.problems.push_back(std::move(problem));
    }
    const FrameCheck frames = checkFramedJobs(config, key);
    for (const std::string& problem : frames.problems) result.problems.push_back(problem);

    const std::string store = localplatform::storeDirectory();
    if (report.enabled()) {
        report.add({{"store", store},
                    {"repair", repair},
                    {"files", result.files},
                    {"bytes", result.bytes},
                    {"problems", result.problems},
                    {"repaired", result.repaired}});
        if (!frames.notes.empty()) report.add({{"notes", frames.notes}});
    } else {
        for (const auto& line : frames.notes) std::printf("note: %s\n", line.c_str());
        for (const auto& line : result.repaired) std::printf("repaired: %s\n", line.c_str());
        for (const auto& line : result.problems) std::printf("problem: %s\n", line.c_str());
        std::fflush(stdout);
    }
    if (!result.problems.empty()) {
        throw jobFailed("the store " + store + " has " + std::to_string(result.problems.size()) +
                        " problem(s)" + (repair ? " that repair could not mend" : "") +
                        (repair || result.repairable == 0
                             ? ""
                             : "; `check --repair` rebuilds its catalog from the files"));
    }
    say("the store %s is sound: %lu archive files, %llu bytes checked", store.c_str(), result.files,
        result.bytes);
}
