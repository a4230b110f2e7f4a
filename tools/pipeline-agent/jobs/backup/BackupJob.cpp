#include "jobs/backup/BackupJob.h"

#include <chrono>
#include <memory>
#include <optional>

#include "backup/BackupPipelineSetup.h"
#include "base/Console.h"
#include "jobs/backup/BackupChain.h"
#include "jobs/backup/BackupKeys.h"
#include "jobs/backup/BackupManifest.h"
#include "jobs/backup/BackupReport.h"
#include "jobs/backup/BackupResume.h"
#include "jobs/backup/BackupSet.h"
#include "jobs/backup/BlockChanges.h"
#include "jobs/backup/ClusterBackup.h"
#include "jobs/backup/Completion.h"
#include "jobs/backup/JobStart.h"
#include "jobs/backup/Snapshots.h"
#include "jobs/backup/StreamRun.h"
#include "manifest/ResumeRecord.h"
#include "manifest/StoredManifest.h"
#include "platform/local/StoreSession.h"
#include "report/JobReport.h"
#include "session/JobIds.h"
#include "session/StoreSession.h"
#include "streams/BackupStreams.h"

namespace {

double secondsSince(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace

// The phases in order; each says what it leaves behind when it fails. What
// is made here goes in the reverse order of its making: the streams stop
// before the library's job goes, the trace is written after it, and the
// snapshots are removed last.
void runBackup(const BackupOptions& options, localplatform::Config config, JsonReport& json) {
    const auto started = std::chrono::steady_clock::now();
    checkResumable(options, config);
    config.jobId = options.resume != 0  ? options.resume
                   : options.jobId != 0 ? options.jobId
                                        : newJobId();
    const std::unique_ptr<ClusterBackup> cluster =
        options.postgres.empty() ? nullptr
                                 : ClusterBackup::start(options.postgres, config.jobId,
                                                        config.mediaTimeout, options.allowBadPages,
                                                        options.withWal);
    BackupSet set =
        checkBackupSet(options, localplatform::configuredStoreDirectory(config), cluster.get());
    const bool hostFolder = localplatform::storeCapabilities(config).hostFolder;
    config.storeLogName = std::to_string(config.jobId);
    const std::optional<UserKey> userKey =
        options.resume != 0 ? std::nullopt : readBackupKey(options);
    openStoreFor(config, localplatform::Access::ReadWrite, options.resume == 0);
    // A resumed job goes on with what it kept, its stages and its chain.
    const std::optional<ResumedJob> resumed =
        options.resume != 0 ? std::optional(resumeBackupJob(options, config, set, json))
                            : std::nullopt;
    const BackupKeys keys =
        resumed ? resumed->keys : settleBackupKeys(options, config.jobId, userKey);
    const std::string manifestPath =
        options.manifest.empty() ? storedManifestPath(config.jobId) : options.manifest;
    beginBackupJob(config, manifestPath, options.streams, json, resumed.has_value());
    const unsigned long long jobId = config.jobId;
    // Archived WAL belongs to no set.
    const ChainStart chain = options.wal || resumed ? ChainStart{} : failJobOnError(jobId, [&] {
        return startChain(
            options.type,
            options.set.empty() ? defaultSetName(options, cluster.get()) : options.set,
            !keys.wrappedKey.empty());
    });
    if (chain.reference) {
        failJobOnError(jobId, [&] {
            markUnchanged(set, *chain.reference, options.verifyUnchanged, !options.raw);
        });
    }
    const unsigned long streamCount = options.streams;

    const Snapshots snapshots = takeSnapshots(options, set, jobId, hostFolder);
    const std::vector<const InputFile*> read = readList(set, snapshots);
    // A job's blocks are its frames when it has stages.
    const uint64_t blockSize = keys.stages ? keys.stages->frameSize : kPlainBlockSize;
    if (chain.reference) {
        failJobOnError(jobId, [&] { compareBlocks(set, read, *chain.reference, blockSize); });
    }
    uint64_t bytes = bytesToRead(set, read);
    sayBackupStarts(describeSet(options, set, read.size(), bytes), streamCount, jobId,
                    localplatform::storeDirectory());

    JobReport report({JobKind::Backup, jobId, streamCount, bytes,
                      !options.pipe.given() && !options.withWal, options.rateLimit},
                     progressShown().load(), stderrProgress(config), options.trace);
    const std::string firstName = resumed && !resumed->kept.files.empty()
                                      ? resumed->kept.files[0].name
                                  : set.entries.empty() ? options.pipe.name
                                                        : set.entries[0].name;
    BackupPipelineSetup job(jobId, bytes, streamCount, firstName);
    Manifest manifest = newManifest(jobId, set.trees > 0 || options.pipe.given(), keys);
    if (!options.wal) manifest.chain = resumed ? resumed->kept.chain : chain.chain;
    const std::unique_ptr<PipeInput> pipe =
        failJobOnError(jobId, [&] {
            return cluster && options.withWal ? cluster->walInput() : openPipeInput(options.pipe);
        });
    const std::size_t setSize = read.size() + (pipe ? 1 : 0);
    BackupStreams streams(read, streamCount, jobId, options.failStream, &report.phases(),
                          pipe.get());
    prepareStreams(streams, set, pipe.get(), keys.stages, options.afterFirstChunk, blockSize);
    // An object store's streams each upload on their own: each keeps a part
    // in flight.
    if (!hostFolder) streams.readPartsSideBySide();

    StreamPlan plan{.jobId = jobId,
                    .streams = streamCount,
                    .setSize = setSize,
                    .createText = archiveCreateText(firstName, setSize),
                    .streamsBefore = resumed ? resumed->streamsBefore() : 0,
                    .whileWriting = {}};
    // A set of files read whole into a store in a directory keeps a record of
    // what its streams wrote, for a resume after a kill.
    std::optional<ResumeRecord> record;
    if (hostFolder && !pipe && !cluster && !chain.reference && !options.wal) {
        record.emplace(resumeRecordDirectory(), jobId,
                       std::chrono::milliseconds(options.recordEveryMs));
        plan.whileWriting = [&](const std::vector<ManifestArchive>& archives) {
            record->update(streams.filesWritten(), [&](std::size_t written) {
                Manifest sofar = manifest;
                sofar.archives = archives;
                sofar = manifestSoFar(sofar, set, read, streams, written);
                return resumed ? resumedManifest(*resumed, sofar) : sofar;
            });
        };
    }
    const StreamRun run = runStreams(job, streams, report, plan);
    manifest.archives = run.archives;
    closeStreams(job, report, jobId);
    bytes += recordSet(manifest, set, read, streams, pipe.get(),
                       chain.reference ? &*chain.reference : nullptr);
    failIfInterrupted(jobId);
    report.end();
    if (cluster) {
        manifest.cluster = failJobOnError(
            jobId, [&] { return cluster->finish(set.entries[0].name, options.walWait); });
    }
    manifest.wal = options.wal;
    if (resumed) manifest = resumedManifest(*resumed, manifest);
    completeBackup(manifest, options.manifest, jobId);
    if (record) record->drop();

    // Every archive file of the job, those a resumed job kept first.
    std::vector<uint64_t> written = resumed ? resumed->archiveSizes : std::vector<uint64_t>{};
    written.insert(written.end(), run.written.begin(), run.written.end());
    sayBackupComplete(manifestPath, bytes, secondsSince(started), keys.stages, written);
    json.add(backupResultJson(manifest, bytes, secondsSince(started), keys.stages, written,
                              snapshots.json));
    if (manifest.chain) {
        json.add({{"set", manifest.chain->set}, {"type", backupTypeName(manifest.chain->type)}});
        if (manifest.chain->reference != 0) json.add({{"reference", manifest.chain->reference}});
    }
    report.finish();
}
