#include "maintenance/StoreCommands.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/Counted.h"
#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "base/Console.h"
#include "inputs/SqliteSnapshot.h"
#include "session/StoreSession.h"
#include "keys/JobKeys.h"
#include "maintenance/FrameVerification.h"
#include "maintenance/JobContents.h"
#include "jobs/restore/RestoreJob.h"
#include "manifest/Manifest.h"
#include "outputs/PartialOutputs.h"
#include "report/JobReport.h"
#include "report/ScanProgress.h"
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
    for (const unsigned long long job : result.jobsDeleted) {
        std::printf("finished deleting job %llu, whose deletion was cut short\n", job);
    }
    for (const auto& path : result.abandonedWrites) {
        std::printf("dropped the unfinished upload of %s\n", path.c_str());
    }
    std::vector<std::string> refused = result.refused;
    const auto partial = sweepPartialOutputs(partialOutputDirectory(), &refused);
    for (const auto& file : partial) std::printf("removed partial output %s\n", file.c_str());
    const auto snapshots = sweepSnapshots(localplatform::storeDirectory() + "/tmp");
    for (const auto& file : snapshots) {
        std::printf("removed SQLite snapshot tmp/%s of a backup that did not end\n", file.c_str());
    }
    if (result.removed.empty() && result.jobsFailed.empty() && result.jobsDeleted.empty() &&
        partial.empty() && snapshots.empty() && result.abandonedWrites.empty()) {
        std::printf("nothing to remove\n");
    }
    std::fflush(stdout);
    for (const auto& line : refused) say("left alone: %s", line.c_str());
}

void checkStore(const localplatform::Config& given, bool repair, JsonReport& report,
                std::optional<unsigned long long> maxBytes, const KeySource& key) {
    // A repair clears what stands where jobs/ or its log belongs instead of
    // refusing the store.
    localplatform::Config config = given;
    config.clearUnusablePlaces = repair;
    // A key file that cannot be used (a FIFO, say) is bad input, refused
    // before the store is looked at.
    if (!key.keyFile.empty()) (void)readUserKey(key, "check");
    openStoreFor(config, repair ? Access::ReadWrite : Access::ReadOnly, false);
    // A signal stops the check, or the repair before its catalog replaces
    // the old one, between two chunks of archive data.
    onInterrupt([](int) { localplatform::interrupt(); });
    localplatform::CheckResult result;
    FrameVerification frames;
    {
        std::optional<ScanProgress> progress;
        if (progressShown().load()) {
            progress.emplace(repair ? "check --repair" : "check", stderrProgress(config));
        }
        localplatform::CheckLimits limits;
        limits.maxBytes = maxBytes;
        if (progress) {
            limits.progress = [&progress](unsigned long long read, const std::string& file) {
                progress->update(read, file);
            };
        }
        try {
            result = localplatform::check(repair, limits);
        } catch (const localplatform::StoreError& error) {
            progress.reset();
            throwStoreError(error, config);
        }
        // The manifests and frames are found through the catalog: one that
        // cannot be read is a problem found already, which these add
        // nothing to.
        bool catalogRead = true;
        try {
            (void)localplatform::listJobs();
        } catch (const localplatform::StoreError& error) {
            using Kind = localplatform::StoreError::Kind;
            if (result.problems.empty() || error.kind() == Kind::Unreachable ||
                error.kind() == Kind::Interrupted) {
                progress.reset();
                throwStoreError(error, config);
            }
            catalogRead = false;
        }
        if (catalogRead) {
            for (std::string& problem : storedManifestProblems(config)) {
                result.problems.push_back(std::move(problem));
            }
            // The frames' bytes count against the same bound.
            FrameLimits frameLimits{maxBytes, result.bytes, limits.progress};
            frames = verifyFramedJobs(config, key, frameLimits);
        }
    }
    for (const std::string& problem : frames.problems) result.problems.push_back(problem);
    result.notes.insert(result.notes.begin(), frames.notes.begin(), frames.notes.end());
    result.unverified.insert(result.unverified.end(), frames.unverified.begin(),
                             frames.unverified.end());
    // What helps with the problems. A catalog rebuilt beside live writers
    // would lose their work: while jobs run a repair is never advised, the
    // advice is to check again after they end; what else helps (cleanup,
    // which leaves live jobs alone) stays. A repair that ran is no advice.
    std::vector<std::string> advice;
    if (!result.problems.empty()) {
        bool wait = false;
        for (const auto& line : result.advice) {
            if (line.find("check --repair") == std::string::npos) {
                advice.push_back(line);
            } else if (result.running > 0) {
                wait = true;
            } else if (!repair) {
                advice.push_back(line);
            }
        }
        if (wait) {
            advice.push_back(std::to_string(result.running) +
                             (result.running == 1 ? " job is" : " jobs are") +
                             " running: check again after they end");
        }
    }
    const std::string store = localplatform::storeDirectory();
    if (report.enabled()) {
        report.add({{"store", store},
                    {"repair", repair},
                    {"files", result.files},
                    {"bytes", result.bytes},
                    {"problems", result.problems},
                    {"repaired", result.repaired}});
        if (frames.jobs > 0) report.add({{"frameBytes", frames.bytes}});
        // Only a bounded check leaves files unread.
        if (maxBytes) report.add({{"unverified", result.unverified}});
        if (!result.notes.empty()) report.add({{"notes", result.notes}});
        if (!advice.empty()) report.add({{"advice", advice}});
    } else {
        for (const auto& line : result.repaired) std::printf("repaired: %s\n", line.c_str());
        for (const auto& line : result.notes) std::printf("note: %s\n", line.c_str());
        for (const auto& line : result.problems) std::printf("problem: %s\n", line.c_str());
        for (const auto& line : result.unverified) {
            std::printf("not verified: %s\n", line.c_str());
        }
        if (result.running == 0) {
            for (const auto& line : advice) std::printf("advice: %s\n", line.c_str());
        }
        std::fflush(stdout);
    }
    // A key given that does not open what it should fails the check: a
    // script that checks its key is never told all is well.
    std::string refused;
    if (!frames.keyRefused.empty()) {
        refused = frames.keyRefused.front();
        if (frames.keyRefused.size() > 1) {
            refused += " (and " + counted(frames.keyRefused.size() - 1, "more encrypted job") +
                       " the key does not open)";
        }
    }
    if (!result.problems.empty()) {
        // The summary names what helps, as the advice lines do.
        std::string summary;
        for (const auto& line : advice) summary += "; " + line;
        if (!refused.empty()) summary += "; and " + refused;
        throw jobFailed("the store " + store + " has " + std::to_string(result.problems.size()) +
                        " problem(s)" + (repair ? " that repair could not mend" : "") + summary);
    }
    if (!refused.empty()) throw jobFailed(refused);
    // What was read: the archive files' data for their digests, then the
    // frames of the jobs with stages, read again to verify them.
    const unsigned long long read = result.bytes + frames.bytes;
    std::string checked =
        counted(result.files, "archive file") + ", " + std::to_string(read) + " bytes checked";
    if (frames.bytes > 0) {
        checked += " (" + std::to_string(frames.bytes) + " of them the stored frames of " +
                   counted(frames.jobs, "job") + " with stages, read again)";
    }
    if (!result.unverified.empty()) {
        const std::size_t parts = frames.unverified.size();
        const std::size_t files = result.unverified.size() - parts;
        std::string unread;
        if (files > 0) unread = "the data of " + counted(files, "closed file");
        if (parts > 0) {
            unread += (files > 0 ? " and " : "") + std::string("the stored frames of ") +
                      counted(parts, "part") + " of jobs with stages";
        }
        const bool one = files + parts == 1;
        say("no problem found in the store %s: %s; %s %s not read, only %s size compared",
            store.c_str(), checked.c_str(), unread.c_str(), one ? "was" : "were",
            one ? "its" : "their");
        return;
    }
    say("the store %s is sound: %s", store.c_str(), checked.c_str());
}
