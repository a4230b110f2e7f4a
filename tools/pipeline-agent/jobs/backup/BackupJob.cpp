#include "jobs/backup/BackupJob.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>
#include <set>

#include "backup/BackupPipelineSetup.h"
#include "base/AgentError.h"
#include "base/InputRules.h"
#include "base/Interrupt.h"
#include "base/Console.h"
#include "base/RelativePath.h"
#include "inputs/InputFile.h"
#include "inputs/SqliteSnapshot.h"
#include "inputs/TreeWalk.h"
#include "session/JobIds.h"
#include "session/StoreSession.h"
#include "jobs/backup/BackupKeys.h"
#include "jobs/backup/BackupSet.h"
#include "jobs/backup/Invalidation.h"
#include "jobs/backup/JobStart.h"
#include "jobs/backup/Snapshots.h"
#include "jobs/backup/StoreRules.h"
#include "keys/JobKeys.h"
#include "manifest/Manifest.h"
#include "manifest/StoredManifest.h"
#include "platform/local/LocalPlatform.h"
#include "report/JobReport.h"
#include "report/ProgressLine.h"
#include "restore/RestorePipelineSetup.h"
#include "streams/BackupStreams.h"

namespace {

// The type values this agent sets its pipelines up with: a full backup.
constexpr unsigned long kTypeDetail = 0;
constexpr unsigned long kTypeCode = 1;
constexpr unsigned long kCloseArchiveFiles = 1;
constexpr unsigned long kInvalidateArchiveFiles = 0;
// How often the job looks at signals while the streams write.
constexpr std::chrono::milliseconds kPoll{50};

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc;
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// Lets every writer waiting at the start of a part go on, once its stream's
// offset in its archive file is where the part belongs; waits up to `wait`
// for the first one. Library calls stay on this, the job's thread.
void beginWaitingParts(BackupPipelineSetup& job, BackupStreams& streams,
                       std::chrono::milliseconds wait) {
    while (auto start = streams.nextPartStart(wait)) {
        unsigned long long offset = 0;
        const uint64_t expected = streams.archiveOffset(start->file, start->stream);
        if (!job.getArchiveFileOffset(start->stream, offset) || offset != expected) {
            throw jobFailed("stream " + std::to_string(start->stream) +
                            " reports the wrong offset in its archive file (" +
                            std::to_string(offset) + ", not " + std::to_string(expected) + ")");
        }
        streams.beginPart(*start);
        wait = std::chrono::milliseconds(0);
    }
    if (const auto failure = streams.failure()) std::rethrow_exception(failure);
    throwIfInterrupted();
}

// "FILES and NAME (the output of the producer)": what the job backs up.
std::string withPipeInput(const std::string& files, std::size_t fileCount,
                            const PipeSource& stream) {
    const std::string name =
        stream.name + (stream.standardInput ? " (standard input)" : " (the producer's output)");
    return fileCount == 0 ? name : files + " and " + name;
}

}  // namespace

void runBackup(const BackupOptions& options, localplatform::Config config, JsonReport& json) {
    const auto started = std::chrono::steady_clock::now();
    BackupSet set = checkBackupSet(options, localplatform::configuredStoreDirectory(config));
    checkStoreRules(options, set, storeHasHostFolder(config));
    config.jobId = options.jobId != 0 ? options.jobId : newJobId();
    config.storeLogName = std::to_string(config.jobId);
    const std::optional<UserKey> userKey = readBackupKey(options);
    openStoreFor(config, localplatform::Access::ReadWrite, true);
    const BackupKeys keys = settleBackupKeys(options, config.jobId, userKey);
    beginBackupJob(config, options.manifest, options.streams, json);
    const unsigned long long jobId = config.jobId;
    const unsigned long streamCount = options.streams;

    const Snapshots snapshots = takeSnapshots(options, set, jobId);
    const std::vector<const InputFile*> inputList = readList(set, snapshots);
    std::vector<SetEntry>& entries = set.entries;
    const auto& inputs = set.inputs;
    const auto& treeInputs = set.treeInputs;
    const std::size_t trees = set.trees;
    const std::optional<JobStages>& stages = keys.stages;
    const std::string& wrappedKey = keys.wrappedKey;
    uint64_t totalSize = 0;
    for (const InputFile* input : inputList) totalSize += input->size();
    std::string what;
    if (trees == 0) {
        what = inputs.size() == 1 ? options.inputs[0] : std::to_string(inputs.size()) + " files";
    } else {
        what = (options.inputs.size() == 1 ? printablePath(options.inputs[0])
                                           : std::to_string(options.inputs.size()) + " inputs") +
               ": " + std::to_string(inputList.size()) + " files";
    }
    what += " (" + std::to_string(totalSize) + " bytes)";
    if (options.pipe.given()) what = withPipeInput(what, entries.size(), options.pipe);
    const char* streamsWord = streamCount == 1 ? "stream" : "streams";
    say("backing up %s over %lu %s as job %llu into %s", what.c_str(), streamCount, streamsWord,
        jobId, localplatform::storeDirectory().c_str());
    say("setting up %lu %s; each pauses 2 s after its archive file is created, while the "
        "streams set up before it write",
        streamCount, streamsWord);

    JobReport report({JobKind::Backup, jobId, streamCount, totalSize, !options.pipe.given()},
                     progressShown().load(), stderrProgress(config), options.trace);
    const std::string firstName = entries.empty() ? options.pipe.name : entries[0].name;
    BackupPipelineSetup job(jobId, totalSize, streamCount, firstName);
    Manifest manifest;
    manifest.jobId = jobId;
    manifest.createdAt = utcNow();
    std::unique_ptr<PipeInput> pipeInput;
    try {
        pipeInput = openPipeInput(options.pipe);
    } catch (...) {
        localplatform::failJob(jobId);
        throw;
    }
    const std::size_t setSize = inputList.size() + (pipeInput ? 1 : 0);
    if (pipeInput || trees > 0) manifest.version = 3;
    BackupStreams streams(inputList, streamCount, jobId, options.failStream, &report.phases(),
                          pipeInput.get());
    if (stages) {
        manifest.version = 4;
        manifest.stages.framed = true;
        manifest.stages.codec = stages->codec;
        manifest.stages.level = stages->level;
        manifest.stages.frameSize = stages->frameSize;
        manifest.stages.wrappedKey = wrappedKey;
        std::vector<std::string> names;
        for (const SetEntry& entry : entries) {
            if (entry.kind == ManifestFile::Kind::File) names.push_back(entry.name);
        }
        if (pipeInput) names.push_back(pipeInput->name());
        streams.useStages(*stages, std::move(names));
    }
    streams.runAfterFirstChunk(options.afterFirstChunk);
    const std::string createText =
        "pipeline-agent backup of " + firstName +
        (setSize > 1 ? " and " + std::to_string(setSize - 1) + " more" : "");
    try {
        // The same platform calls as setupPipeline for all streams: with no
        // streams it only fills the shared setup record; then each stream is
        // added in order, and starts writing as soon as it is set up.
        if (!job.setupPipeline(kTypeDetail, kTypeCode, 0, createText)) {
            throw jobFailed("setting up the streams failed");
        }
        streams.startReading();
        for (unsigned long k = 1; k <= streamCount; ++k) {
            report.library().backupSetUp(k);
            const bool added = job.AddStreamToPipeline(static_cast<int>(k), createText);
            report.library().callEnded();
            if (!added) {
                throwIfInterrupted();
                throw jobFailed("setting up the streams failed");
            }
            localplatform::ArchiveFileRecord file;
            if (!localplatform::createdArchiveFile(jobId, k, &file)) {
                throw jobFailed("the platform created no archive file for stream " +
                                std::to_string(k));
            }
            manifest.archives.push_back({k, file.trellanId, file.groupNumber, file.afileId});
            streams.startStream(k);
            beginWaitingParts(job, streams, std::chrono::milliseconds(0));
        }
        while (!streams.done()) beginWaitingParts(job, streams, kPoll);
        streams.stop();
        for (unsigned long k = 1; k <= streamCount; ++k) {
            unsigned long long offset = 0;
            const uint64_t expected = streams.archiveOffset(setSize, k);
            if (!job.getArchiveFileOffset(k, offset) || offset != expected) {
                throw jobFailed("stream " + std::to_string(k) +
                                " reports the wrong offset in its archive file");
            }
            say("stream %lu: wrote %llu bytes to archive file %s", k,
                static_cast<unsigned long long>(expected),
                archiveFileName(manifest.archives[k - 1]).c_str());
        }
    } catch (const std::exception&) {
        streams.stop();
        say("the backup failed; invalidating the job's archive files");
        report.library().backupClose();
        const bool invalidated = job.closePipeline(kInvalidateArchiveFiles, false);
        report.library().callEnded();
        if (!invalidated || !archiveFilesInvalidated(jobId, streamCount)) sayInvalidationFailed();
        localplatform::failJob(jobId);
        throw;
    }
    report.library().backupClose();
    const bool closed = job.closePipeline(kCloseArchiveFiles, false);
    report.library().callEnded();
    if (!closed) {
        // The streams the close did not reach are still held: invalidate them,
        // and let the job's failure settle the rest at the next cleanup.
        job.closePipeline(kInvalidateArchiveFiles, false);
        localplatform::failJob(jobId);
        throw jobFailed("closing the streams failed; the job is marked failed");
    }
    for (const SetEntry& entry : entries) {
        ManifestFile file;
        file.name = entry.name;
        file.kind = entry.kind;
        file.hasMtime = true;
        file.mode = entry.mode;
        file.mtime = entry.mtime;
        if (entry.kind == ManifestFile::Kind::Symlink) {
            file.mode = -1;
            file.target = entry.target;
            manifest.files.push_back(file);
            continue;
        }
        if (entry.kind == ManifestFile::Kind::Directory) {
            manifest.files.push_back(file);
            continue;
        }
        // A file named directly: its mode and time as it was opened.
        const InputFile& source =
            entry.named != SIZE_MAX ? *inputs[entry.named] : *treeInputs[entry.tree];
        file.mode = source.mode();
        file.mtime = source.mtime();
        const std::size_t i = entry.read;
        file.size = inputList[i]->size();
        file.sha256 = streams.fileDigest(i);
        for (unsigned long k = 1; k <= streamCount; ++k) {
            ManifestShare share;
            share.archive = manifest.archives[k - 1];
            share.sourceOffset = streams.partOffset(i, k);
            share.seekOffset = streams.archiveOffset(i, k);
            share.size = streams.partSize(i, k);
            share.sha256 = streams.partDigest(i, k);
            share.storedSize = streams.storedSize(i, k);
            share.storedSha256 = streams.storedDigest(i, k);
            file.shares.push_back(share);
        }
        manifest.files.push_back(file);
    }
    if (pipeInput) {
        manifest.files.push_back(streams.streamInputEntry(pipeInput->name(), manifest.archives));
        totalSize += manifest.files.back().size;
    }
    if (interruptSignal() != 0) {
        localplatform::failJob(jobId);
        throwIfInterrupted();
    }
    report.end();
    // The store keeps its own copy first, so that a complete job always has one.
    keepManifestInStore(manifest);
    try {
        saveManifest(manifest, options.manifest);
    } catch (const AgentError& error) {
        // The files are closed, but no manifest names them: the job failed,
        // after its work, whatever the cause.
        localplatform::failJob(jobId);
        throw jobFailed(std::string(error.what()) + "; the job is marked failed");
    } catch (...) {
        localplatform::failJob(jobId);
        throw;
    }
    localplatform::crashPoint("manifest saved");
    try {
        localplatform::completeJob(jobId);
    } catch (const localplatform::StoreError& error) {
        // A manifest of a job that is not complete must not pass for one.
        ::unlink(options.manifest.c_str());
        localplatform::failJob(jobId);
        throw jobFailed(std::string("cannot mark the job complete: ") + error.what());
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    uint64_t storedTotal = 0;
    for (unsigned long k = 1; k <= streamCount; ++k) storedTotal += streams.archiveOffset(setSize, k);
    if (stages) {
        say("backup complete: manifest %s (%s in %.1f s, %s/s; stored %s, %s%s)",
            options.manifest.c_str(), formatBytes(static_cast<double>(totalSize)).c_str(), took,
            formatBytes(took > 0 ? static_cast<double>(totalSize) / took : 0).c_str(),
            formatBytes(static_cast<double>(storedTotal)).c_str(),
            codecName(stages->codec), stages->key ? ", encrypted" : "");
    } else {
        say("backup complete: manifest %s (%s in %.1f s, %s/s)", options.manifest.c_str(),
            formatBytes(static_cast<double>(totalSize)).c_str(), took,
            formatBytes(took > 0 ? static_cast<double>(totalSize) / took : 0).c_str());
    }

    nlohmann::ordered_json filesJson = nlohmann::ordered_json::array();
    for (const ManifestFile& f : manifest.files) {
        if (f.kind == ManifestFile::Kind::Directory) {
            filesJson.push_back({{"name", f.name}, {"kind", "directory"}, {"mode", f.mode}});
        } else if (f.kind == ManifestFile::Kind::Symlink) {
            filesJson.push_back({{"name", f.name}, {"kind", "symlink"}, {"target", f.target}});
        } else {
            filesJson.push_back(
                {{"name", f.name}, {"size", f.size}, {"mode", f.mode}, {"sha256", f.sha256}});
        }
    }
    nlohmann::ordered_json archives = nlohmann::ordered_json::array();
    for (const ManifestArchive& a : manifest.archives) {
        archives.push_back({{"stream", a.stream},
                            {"trellanId", a.trellanId},
                            {"groupNumber", a.groupNumber},
                            {"afileId", a.afileId},
                            {"size", streams.archiveOffset(setSize, a.stream)}});
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    json.add({{"files", filesJson},
              {"bytes", totalSize},
              {"seconds", std::round(seconds.count() * 1000) / 1000},
              {"archiveFiles", archives}});
    if (stages) {
        json.add({{"storedBytes", storedTotal},
                  {"compress", codecName(stages->codec)},
                  {"encrypted", stages->key.has_value()}});
    }
    if (!snapshots.json.empty()) json.add({{"sqliteSnapshots", snapshots.json}});

    report.finish();
}
