#include "jobs/backup/BackupResume.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Sha256.h"
#include "jobs/backup/BackupChain.h"
#include "jobs/backup/BackupManifest.h"
#include "keys/JobKeys.h"
#include "manifest/ResumeRecord.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"
#include "restore/RestorePipelineSetup.h"
#include "session/StoreSession.h"

namespace {

// The stages the command line asks for, against the job's: a resumed job
// goes on with its own.
void requireSameStages(const BackupOptions& options, const Manifest& record) {
    const bool asked = options.encrypt || options.compress.codec != Codec::None;
    const ManifestStages& stages = record.stages;
    const bool same = asked == stages.framed && options.encrypt == stages.encrypted() &&
                      (!asked || (options.compress.codec == stages.codec &&
                                  options.compress.level == stages.level));
    if (!same) {
        throw badInput("job " + std::to_string(record.jobId) +
                       " was begun with other --compress or --encrypt options; resume it with "
                       "the ones it was begun with");
    }
}

// How many of the set's first entries the record holds as they are now:
// the same names and kinds in the same order, each file unchanged since.
std::size_t entriesUnchanged(const BackupSet& set, const Manifest& record) {
    std::size_t same = 0;
    for (; same < record.files.size() && same < set.entries.size(); ++same) {
        const SetEntry& entry = set.entries[same];
        const ManifestFile& recorded = record.files[same];
        if (entry.name != recorded.name || entry.kind != recorded.kind) break;
        if (entry.kind != ManifestFile::Kind::File) continue;
        const InputFile& input =
            entry.named != SIZE_MAX ? *set.inputs[entry.named] : *set.treeInputs[entry.tree];
        if (input.sqliteDatabase() || !sameFile(input, recorded, false)) break;
    }
    return same;
}

// The archive files of the job, by stream, opened once each.
class KeptArchives {
public:
    explicit KeptArchives(const std::vector<ManifestArchive>& archives) {
        for (const ManifestArchive& archive : archives) {
            const auto record = localplatform::lookUpArchiveFile(
                archive.trellanId, archive.groupNumber, archive.afileId);
            std::string why;
            std::unique_ptr<localplatform::ArchiveData> data;
            if (record && record->state == "closed") {
                data = localplatform::openArchiveData(*record, &why);
            }
            m_data.push_back(std::move(data));
        }
    }

    // Whether each share of file reads back with the digest recorded.
    bool whole(const ManifestFile& file, uint64_t* bytes) {
        std::vector<char> buffer(1 << 20);
        for (const ManifestShare& share : file.shares) {
            const uint64_t size = share.storedSha256.empty() ? share.size : share.storedSize;
            const std::string& digest =
                share.storedSha256.empty() ? share.sha256 : share.storedSha256;
            if (size == 0) continue;
            if (share.archive.stream == 0 || share.archive.stream > m_data.size()) return false;
            localplatform::ArchiveData* data = m_data[share.archive.stream - 1].get();
            if (!data) return false;
            Sha256 read;
            for (uint64_t at = 0; at < size;) {
                const auto length =
                    static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), size - at));
                if (!data->readExactly(buffer.data(), length, share.seekOffset + at)) return false;
                read.update(buffer.data(), length);
                at += length;
            }
            if (read.hex() != digest) return false;
            *bytes += size;
        }
        return true;
    }

private:
    std::vector<std::unique_ptr<localplatform::ArchiveData>> m_data;  // [stream-1]
};

// How many streams job jobId has: the highest stream of its archive files.
unsigned long streamsOf(unsigned long long jobId, const localplatform::Config& config) {
    try {
        for (const localplatform::JobRecord& job : localplatform::listJobs()) {
            if (job.jobId != jobId) continue;
            unsigned long last = 0;
            for (const auto& file : job.files) last = std::max(last, file.stream);
            return last;
        }
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    return 0;
}

// Drops the set's first `kept` entries, numbering the files left as the
// streams read them.
void dropKept(BackupSet& set, std::size_t kept) {
    set.entries.erase(set.entries.begin(), set.entries.begin() + static_cast<std::ptrdiff_t>(kept));
    std::size_t read = 0;
    for (SetEntry& entry : set.entries) {
        if (entry.kind == ManifestFile::Kind::File) entry.read = read++;
    }
    set.fileCount = read;
}

}  // namespace

void checkResumable(const BackupOptions& options, const localplatform::Config& config) {
    if (options.resume == 0) return;
    if (options.pipe.given()) {
        throw badInput(
            "a stream input is not resumable: --resume goes on with a backup of files "
            "and trees");
    }
    if (!options.postgres.empty()) {
        throw badInput("a PostgreSQL backup is not resumable: begin a new one");
    }
    if (options.type != BackupType::Full) {
        throw badInput("only a full backup is resumable: --resume takes no --type " +
                       std::string(backupTypeName(options.type)));
    }
    if (options.jobId != 0) throw badInput("--resume names the job: it takes no --job-id");
    if (!localplatform::storeCapabilities(config).hostFolder) {
        throw badInput(
            "a backup into a store in object storage is not resumable: the files a "
            "killed one was writing are uploads never finished; begin a new one");
    }
}

ResumedJob resumeBackupJob(const BackupOptions& options, const localplatform::Config& config,
                           BackupSet& set, JsonReport& json) {
    const unsigned long long jobId = options.resume;
    const std::string directory = resumeRecordDirectory();
    const std::optional<Manifest> record = readResumeRecord(directory, jobId);
    if (!record || record->jobId != jobId) {
        throw badInput("job " + std::to_string(jobId) + " left no record of what it wrote in " +
                       directory + ": it cannot be resumed here; `cleanup` removes what it left");
    }
    requireSameStages(options, *record);
    ResumedJob resumed;
    resumed.kept = *record;
    resumed.kept.files.clear();
    const unsigned long streams = streamsOf(jobId, config);
    if (streams + options.streams > RestorePipelineSetup::kMaxStreams) {
        throw badInput("job " + std::to_string(jobId) + " has " + std::to_string(streams) +
                       " streams; with --streams " +
                       std::to_string(options.streams) + " it would have more than " +
                       std::to_string(RestorePipelineSetup::kMaxStreams) +
                       ", which no restore takes");
    }
    if (record->stages.framed) {
        resumed.keys.stages = jobStagesOf(*record, options.key);
        resumed.keys.wrappedKey = record->stages.wrappedKey;
    }
    std::vector<localplatform::ArchiveFileRecord> files;
    try {
        files = localplatform::resumeJob(jobId);
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    // Every stream the job has, in order: those the record names, and any a
    // resume killed before it recorded them.
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.stream < b.stream; });
    resumed.kept.archives.clear();
    for (const localplatform::ArchiveFileRecord& file : files) {
        if (file.stream != resumed.kept.archives.size() + 1) {
            throw jobFailed("job " + std::to_string(jobId) +
                            "'s archive files are not one a stream; it cannot be resumed");
        }
        resumed.kept.archives.push_back(
            {file.stream, file.trellanId, file.groupNumber, file.afileId});
        resumed.archiveSizes.push_back(file.size);
    }
    const bool sameArchives =
        record->archives.size() <= resumed.kept.archives.size() &&
        std::equal(record->archives.begin(), record->archives.end(), resumed.kept.archives.begin());
    const std::size_t unchanged = sameArchives ? entriesUnchanged(set, *record) : 0;
    KeptArchives archives(record->archives);
    std::size_t kept = 0;
    for (; kept < unchanged; ++kept) {
        const ManifestFile& file = record->files[kept];
        if (!file.hasData()) {
            // A directory or link is recorded as it is now.
            resumed.kept.files.push_back(entryAsWalked(set.entries[kept]));
            continue;
        }
        if (!archives.whole(file, &resumed.keptBytes)) break;
        resumed.kept.files.push_back(file);
    }
    dropKept(set, kept);
    say("resuming job %llu: %zu of the set's entries (%llu bytes) kept as its streams 1-%lu "
        "wrote them; the rest goes on over streams after them",
        jobId, kept, static_cast<unsigned long long>(resumed.keptBytes), resumed.streamsBefore());
    json.add({{"resumed", {{"entriesKept", kept}, {"bytesKept", resumed.keptBytes}}}});
    return resumed;
}

Manifest resumedManifest(const ResumedJob& resumed, const Manifest& fresh) {
    Manifest manifest = resumed.kept;
    manifest.version = std::max({manifest.version, fresh.version, 3});
    manifest.archives.insert(manifest.archives.end(), fresh.archives.begin(), fresh.archives.end());
    manifest.files.insert(manifest.files.end(), fresh.files.begin(), fresh.files.end());
    manifest.references = fresh.references;
    return manifest;
}
