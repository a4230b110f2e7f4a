#include "StoreCommands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "AgentError.h"
#include "AgentStore.h"
#include "Manifest.h"
#include "PartialOutputs.h"
#include "Progress.h"
#include "RestoreJob.h"

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

}  // namespace

void listStore(const localplatform::Config& config) {
    openStoreFor(config, Access::ReadOnly, false);
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    std::printf("%-22s %-9s %-20s %6s %-11s %12s  %s\n", "JOB", "STATE", "ARCHIVE FILE", "STREAM",
                "FILE STATE", "BYTES", "CREATED");
    std::size_t files = 0;
    for (const auto& job : jobs) {
        const std::string state = jobState(job);
        if (job.files.empty()) {
            std::printf("%-22llu %-9s %-20s %6s %-11s %12s  %s\n", job.jobId, state.c_str(), "-",
                        "-", "-", "-", job.createdAt.c_str());
        }
        for (const auto& file : job.files) {
            std::printf("%-22llu %-9s %-20s %6lu %-11s %12llu  %s\n", job.jobId, state.c_str(),
                        identity(file).c_str(), file.stream, fileState(file, job).c_str(),
                        file.size, file.createdAt.c_str());
            ++files;
        }
    }
    std::fflush(stdout);
    say("%zu jobs, %zu archive files in %s", jobs.size(), files,
        localplatform::storeDirectory().c_str());
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
    if (result.removed.empty() && result.jobsFailed.empty() && partial.empty()) {
        std::printf("nothing to remove\n");
    }
    std::fflush(stdout);
    for (const auto& line : refused) say("left alone: %s", line.c_str());
}

void checkStore(const localplatform::Config& config, bool repair) {
    openStoreFor(config, repair ? Access::ReadWrite : Access::ReadOnly, false);
    localplatform::CheckResult result;
    try {
        result = localplatform::check(repair);
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    for (const auto& line : result.repaired) std::printf("repaired: %s\n", line.c_str());
    for (const auto& line : result.problems) std::printf("problem: %s\n", line.c_str());
    std::fflush(stdout);
    const std::string store = localplatform::storeDirectory();
    if (!result.problems.empty()) {
        throw jobFailed("the store " + store + " has " + std::to_string(result.problems.size()) +
                        " problem(s)" + (repair ? " that repair could not mend" : "") +
                        (repair ? "" : "; `check --repair` rebuilds its catalog from the files"));
    }
    say("the store %s is sound: %lu archive files, %llu bytes checked", store.c_str(), result.files,
        result.bytes);
}
