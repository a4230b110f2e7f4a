#include "jobs/copy/CopyJob.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "backup/BackupPipelineSetup.h"
#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Counted.h"
#include "base/Interrupt.h"
#include "jobs/backup/StreamRun.h"
#include "keys/JobKeys.h"
#include "manifest/ArchiveRemap.h"
#include "manifest/StoredManifest.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/Interruption.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreBeside.h"
#include "platform/local/StoreSession.h"
#include "report/JobReport.h"
#include "session/StoreSession.h"
#include "streams/ArchiveCopy.h"

namespace {

using localplatform::ArchiveFileRecord;
using localplatform::JobRecord;

// What is copied and what is not, settled before anything is.
struct CopyPlan {
    std::vector<unsigned long long> copy;   // oldest first
    std::vector<unsigned long long> skip;   // complete in the target already
    std::vector<unsigned long long> again;  // of copy: failed in the target, emptied by cleanup
};

std::map<unsigned long long, std::string> statesOf(const std::vector<JobRecord>& jobs) {
    std::map<unsigned long long, std::string> states;
    for (const JobRecord& job : jobs) states[job.jobId] = job.state;
    return states;
}

// targetJobs: the target's jobs, none when it is yet to be made.
CopyPlan planCopy(const CopyOptions& options, const localplatform::StoreBeside& source,
                  const std::string& target, const std::vector<JobRecord>& targetJobs) {
    std::vector<JobRecord> sourceJobs;
    {
        localplatform::StoreBeside::Scope scope(source);
        sourceJobs = localplatform::listJobs();
    }
    const auto inSource = statesOf(sourceJobs);
    const auto inTarget = statesOf(targetJobs);
    for (const unsigned long long job : options.jobs) {
        const auto found = inSource.find(job);
        if (found == inSource.end()) {
            throw badInput(source.directory() + " has no job " + std::to_string(job));
        }
        if (found->second != "complete") {
            throw badInput("job " + std::to_string(job) + " is " + found->second + " in " +
                           source.directory() + ", not complete: only a complete job is copied");
        }
    }
    CopyPlan plan;
    for (const JobRecord& job : sourceJobs) {
        const bool named =
            std::find(options.jobs.begin(), options.jobs.end(), job.jobId) != options.jobs.end();
        if (!(named || (options.allNew && job.state == "complete"))) continue;
        const auto there = inTarget.find(job.jobId);
        if (there == inTarget.end() || there->second == "failed") {
            plan.copy.push_back(job.jobId);
            if (there != inTarget.end()) plan.again.push_back(job.jobId);
        } else if (there->second == "complete") {
            plan.skip.push_back(job.jobId);
        } else {
            throw badInput(target + " has a job " + std::to_string(job.jobId) + " already, " +
                           there->second + ": only a failed one is copied over, once " +
                           "`cleanup` there has settled it");
        }
    }
    return plan;
}

// Each job to copy keeps its manifest in the source, and every job it
// refers to is complete in the target, or is copied before it.
void checkReferences(const CopyPlan& plan, const localplatform::StoreBeside& source,
                     const std::string& target) {
    localplatform::StoreBeside::Scope scope(source);
    for (std::size_t i = 0; i < plan.copy.size(); ++i) {
        const unsigned long long job = plan.copy[i];
        const std::optional<Manifest> manifest = storedManifest(job);
        if (!manifest) {
            throw badInput("job " + std::to_string(job) + " keeps no manifest in " +
                           source.directory() +
                           " (a backup by an older release): it cannot be copied");
        }
        for (const ManifestReference& reference : manifest->references) {
            const auto before = plan.copy.begin() + static_cast<std::ptrdiff_t>(i);
            if (std::find(plan.copy.begin(), before, reference.jobId) != before) continue;
            if (std::find(plan.skip.begin(), plan.skip.end(), reference.jobId) != plan.skip.end()) {
                continue;
            }
            throw badInput("job " + std::to_string(job) + " refers to job " +
                           std::to_string(reference.jobId) + ", which " + target +
                           " will not have: copy job " + std::to_string(reference.jobId) +
                           " too, or give --all-new");
        }
    }
}

// What the copy of one job reads from the source, taken under a hold on the
// job that lasts until it goes.
struct SourceJob {
    std::unique_ptr<localplatform::JobReadHold> hold;
    Manifest manifest;
    std::vector<ArchiveFileRecord> files;  // [stream - 1]
    std::vector<std::unique_ptr<localplatform::ArchiveData>> data;
    std::optional<std::string> keyCheck;  // the source's, for an encrypted job
    uint64_t bytes = 0;
    std::string createdAt;  // when the job began, which its copy keeps
};

SourceJob readSource(unsigned long long jobId, const localplatform::StoreBeside& source) {
    localplatform::StoreBeside::Scope scope(source);
    const std::string job = "job " + std::to_string(jobId);
    SourceJob read;
    try {
        read.hold = localplatform::holdJobForReading(jobId);
    } catch (const localplatform::StoreError& error) {
        throw jobFailed(error.what());
    }
    if (read.hold->state() != "complete") {
        throw jobFailed(job + " is no longer complete in " + source.directory());
    }
    std::optional<Manifest> manifest = storedManifest(jobId);
    if (!manifest) throw jobFailed(job + " no longer keeps its manifest in " + source.directory());
    read.manifest = std::move(*manifest);
    std::vector<ArchiveFileRecord> files;
    for (const JobRecord& record : localplatform::listJobs()) {
        if (record.jobId != jobId) continue;
        files = record.files;
        read.createdAt = record.createdAt;
    }
    for (const ManifestArchive& archive : read.manifest.archives) {
        const auto found = std::find_if(files.begin(), files.end(), [&](const auto& file) {
            return file.trellanId == archive.trellanId && file.groupNumber == archive.groupNumber &&
                   file.afileId == archive.afileId;
        });
        if (found == files.end() || found->state != "closed") {
            throw jobFailed(job + "'s archive file " + archiveFileName(archive) + " is " +
                            (found == files.end() ? "not in the catalog" : found->state) + " in " +
                            source.directory());
        }
        std::string why;
        std::unique_ptr<localplatform::ArchiveData> data =
            localplatform::openArchiveData(*found, &why);
        if (!data) throw jobFailed("cannot open " + found->path + ": " + why);
        if (data->size() != found->size) {
            throw jobFailed(found->path + " holds " + std::to_string(data->size()) +
                            " bytes, not the " + std::to_string(found->size) +
                            " its catalog records");
        }
        read.bytes += found->size;
        read.files.push_back(*found);
        read.data.push_back(std::move(data));
    }
    if (read.manifest.stages.encrypted()) read.keyCheck = storeKeyCheck();
    return read;
}

// Each archive file of the jobs that job's manifest refers to, as the
// target's copy of their manifests names it.
void mapReferences(const Manifest& manifest, ArchiveMap& map) {
    for (const ManifestReference& reference : manifest.references) {
        const std::optional<Manifest> there = storedManifest(reference.jobId);
        if (!there || there->archives.size() != reference.archives.size()) {
            throw jobFailed("the copy of job " + std::to_string(reference.jobId) + ", which job " +
                            std::to_string(manifest.jobId) +
                            " refers to, keeps no manifest of as many streams");
        }
        for (std::size_t i = 0; i < reference.archives.size(); ++i) {
            map.emplace_back(reference.archives[i], there->archives[i]);
        }
    }
}

// The target's record of each archive file it stored: closed, of the
// source's size and digest.
void verifyStored(const SourceJob& read, const ArchiveMap& map) {
    for (std::size_t i = 0; i < read.files.size(); ++i) {
        const ManifestArchive& made = map[i].second;
        const std::optional<ArchiveFileRecord> stored =
            localplatform::lookUpArchiveFile(made.trellanId, made.groupNumber, made.afileId);
        if (!stored || stored->state != "closed" || stored->size != read.files[i].size ||
            stored->sha256 != read.files[i].sha256) {
            throw jobFailed("stream " + std::to_string(i + 1) + ": the target's archive file " +
                            archiveFileName(made) +
                            " is not recorded closed with the source's size and digest");
        }
    }
}

// Copies job jobId's archive files into streams of a job of the same id in
// the open store, returning which archive file holds each one's copy.
ArchiveMap copyArchives(SourceJob& read, unsigned long long jobId, BackupPipelineSetup& job,
                        JobReport& report) {
    const std::string createText = "pipeline-agent copy of job " + std::to_string(jobId);
    ArchiveMap map;
    try {
        ArchiveCopy copy(jobId, read.files.size(), &report.phases());
        beginPipeline(job, createText);
        for (unsigned long k = 1; k <= read.files.size(); ++k) {
            map.emplace_back(read.manifest.archives[k - 1],
                             addStream(job, report, jobId, k, createText));
            copy.start(k, std::move(read.data[k - 1]));
        }
        copy.join();
        for (unsigned long k = 1; k <= read.files.size(); ++k) {
            unsigned long long offset = 0;
            if (!job.getArchiveFileOffset(k, offset) || offset != read.files[k - 1].size) {
                throw jobFailed("stream " + std::to_string(k) +
                                " reports the wrong offset in its archive file");
            }
        }
    } catch (...) {
        invalidateStreams(job, report, jobId, read.files.size(), "copy");
        throw;
    }
    closeStreams(job, report, jobId);
    return map;
}

// again: the target has the job failed, and it is begun there again.
void copyJob(unsigned long long jobId, bool again, const localplatform::StoreBeside& source,
             const localplatform::Config& config, uint64_t rateLimit) {
    SourceJob read = readSource(jobId, source);
    if (read.keyCheck && adoptStoreKeyCheck(*read.keyCheck)) {
        say("%s: took the key check of %s, for encrypted job %llu",
            localplatform::storeDirectory().c_str(), source.directory().c_str(), jobId);
    }
    try {
        if (again) {
            say("job %llu: %s has it failed, from a copy that did not end; copying it again", jobId,
                localplatform::storeDirectory().c_str());
            localplatform::beginJobAgain(jobId, read.createdAt);
        } else {
            localplatform::beginJob(jobId, read.createdAt);
        }
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    localplatform::setCurrentJob(jobId);
    const unsigned long streams = read.files.size();
    say("copying job %llu (%llu bytes in %s) from %s", jobId,
        static_cast<unsigned long long>(read.bytes), counted(streams, "archive file").c_str(),
        source.directory().c_str());
    JobReport report({JobKind::Copy, jobId, streams, read.bytes, true, rateLimit},
                     progressShown().load(), stderrProgress(config), "");
    BackupPipelineSetup job(jobId, static_cast<unsigned long>(read.bytes), streams,
                            "copy of job " + std::to_string(jobId));
    ArchiveMap map = copyArchives(read, jobId, job, report);
    Manifest copied;
    try {
        verifyStored(read, map);
        mapReferences(read.manifest, map);
        copied = remapArchives(read.manifest, map);
    } catch (...) {
        localplatform::failJob(jobId);
        throw;
    }
    if (interruptSignal() != 0) {
        localplatform::failJob(jobId);
        throwIfInterrupted();
    }
    report.end();
    keepManifestInStore(copied);
    try {
        localplatform::completeJob(jobId);
    } catch (const localplatform::StoreError& error) {
        localplatform::failJob(jobId);
        throw jobFailed(std::string("cannot mark the job complete: ") + error.what());
    }
    report.finish();
    say("job %llu: copied to %s, each archive file's digest as stored there matching the "
        "source's record",
        jobId, localplatform::storeDirectory().c_str());
}

}  // namespace

void runCopy(const CopyOptions& options, localplatform::Config config, JsonReport& json) {
    localplatform::Config sourceConfig = config;
    sourceConfig.catalog.clear();  // its own, as its store.ini names it
    std::unique_ptr<localplatform::StoreBeside> source;
    try {
        source = std::make_unique<localplatform::StoreBeside>(sourceConfig);
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, sourceConfig);
    }
    config.storeDir = options.to;
    // Planned against the target as it is, before it is opened to be
    // written (or made): a copy refused leaves nothing behind.
    std::string target = options.to;
    std::vector<JobRecord> targetJobs;
    try {
        const localplatform::StoreBeside there(config);
        target = there.directory();
        if (target == source->directory()) {
            throw badInput("--to names the store that the jobs are copied from, " + target);
        }
        localplatform::StoreBeside::Scope scope(there);
        targetJobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        if (error.kind() != localplatform::StoreError::Kind::NotFound)
            throwStoreError(error, config);
    }
    const CopyPlan plan = planCopy(options, *source, target, targetJobs);
    checkReferences(plan, *source, target);
    openStoreFor(config, localplatform::Access::ReadWrite, true);
    target = localplatform::storeDirectory();
    onInterrupt([](int) { localplatform::interrupt(); });
    json.add({{"from", source->directory()}, {"to", target}, {"skipped", plan.skip}});
    for (const unsigned long long job : plan.skip) {
        say("job %llu: %s has it complete already; skipped", job, target.c_str());
    }
    std::vector<unsigned long long> copied;
    for (const unsigned long long job : plan.copy) {
        const bool again = std::find(plan.again.begin(), plan.again.end(), job) != plan.again.end();
        try {
            copyJob(job, again, *source, config, options.rateLimit);
        } catch (...) {
            json.add({{"copied", copied}});
            throw;
        }
        copied.push_back(job);
    }
    json.add({{"copied", copied}});
    say("copied %s to %s; %s complete there already", counted(plan.copy.size(), "job").c_str(),
        target.c_str(), counted(plan.skip.size(), "job").c_str());
}
