#include "jobs/FrameChecks.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>

#include "base/AgentError.h"
#include "base/Sha256.h"
#include "jobs/AgentStore.h"
#include "manifest/StoredManifest.h"
#include "stages/FrameDecoder.h"
#include "stages/JobStages.h"

namespace {

constexpr std::size_t kReadChunk = 1 << 20;

// The archive files' data, each opened once, through the store.
class DataFiles {
public:
    // The archive file's data, or null with why set.
    localplatform::ArchiveData* open(const ManifestArchive& archive, std::string& why) {
        const auto [found, fresh] = m_open.try_emplace(archiveFileName(archive));
        Opened& opened = found->second;
        if (fresh) {
            const std::optional<localplatform::ArchiveFileRecord> record =
                localplatform::lookUpArchiveFile(archive.trellanId, archive.groupNumber,
                                                 archive.afileId);
            if (!record) {
                opened.why = "the catalog does not know it";
            } else if (!(opened.data = localplatform::openArchiveData(*record, &opened.why))) {
                opened.why = "cannot read " + record->path + ": " + opened.why;
            }
        }
        why = opened.why;
        return opened.data.get();
    }

private:
    struct Opened {
        std::unique_ptr<localplatform::ArchiveData> data;
        std::string why;
    };
    std::map<std::string, Opened> m_open;
};

// Checks one share; empty when sound, else the problem.
std::string checkShare(localplatform::ArchiveData& data, const ManifestFile& file, const ManifestShare& share,
                       const JobStages* stages) {
    Sha256 stored;
    Sha256 logical;
    uint64_t logicalBytes = 0;
    std::unique_ptr<FrameDecoder> decoder;
    if (stages) {
        const std::size_t frameSize = file.isStream() ? static_cast<std::size_t>(file.stripeUnit)
                                                      : stages->frameSize;
        decoder = std::make_unique<FrameDecoder>(
            stages->part(file.name, share.archive.stream, frameSize),
            [&](const uint8_t* data, std::size_t length) {
                logical.update(data, length);
                logicalBytes += length;
            });
    }
    std::vector<char> buffer(kReadChunk);
    try {
        for (uint64_t done = 0; done < share.storedSize;) {
            const auto length =
                static_cast<std::size_t>(std::min<uint64_t>(kReadChunk, share.storedSize - done));
            if (!data.readExactly(buffer.data(), length, share.seekOffset + done)) {
                return "its stored bytes end before the manifest's " +
                       std::to_string(share.storedSize);
            }
            stored.update(buffer.data(), length);
            if (decoder) decoder->write(buffer.data(), length);
            done += length;
        }
        if (decoder) decoder->finish();
    } catch (const AgentError& error) {
        return error.what();
    }
    if (stored.hex() != share.storedSha256) {
        return "its stored bytes do not match the manifest's checksum";
    }
    if (decoder && (logicalBytes != share.size || logical.hex() != share.sha256)) {
        return "its frames decode to bytes that do not match the manifest's checksum";
    }
    return "";
}

}  // namespace

FrameCheck checkFramedJobs(const localplatform::Config& config, const KeySource& key) {
    FrameCheck result;
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    const char* passphrase = std::getenv("PIPELINE_PASSPHRASE");
    const bool keyGiven = !key.keyFile.empty() || (passphrase && *passphrase);
    DataFiles data;
    for (const auto& job : jobs) {
        if (job.state != "complete") continue;
        std::optional<Manifest> manifest;
        try {
            manifest = storedManifest(job.jobId);
        } catch (const AgentError&) {
            continue;  // reported with the store's manifests
        }
        if (!manifest || !manifest->stages.framed) continue;
        const std::string name = "job " + std::to_string(job.jobId);
        std::optional<JobStages> stages;
        if (!manifest->stages.encrypted() || keyGiven) {
            try {
                stages.emplace();
                stages->codec = manifest->stages.codec;
                stages->level = manifest->stages.level;
                stages->frameSize = static_cast<std::size_t>(manifest->stages.frameSize);
                stages->jobId = manifest->jobId;
                if (manifest->stages.encrypted()) stages->key = jobDataKey(*manifest, key);
            } catch (const AgentError& error) {
                stages.reset();
                result.notes.push_back(name + ": " + error.what() +
                                       "; its frames were checked as stored only");
            }
        } else {
            result.notes.push_back(name +
                                   " is encrypted and no key was given: its frames were checked "
                                   "as stored (sizes, digests), not opened");
        }
        ++result.jobs;
        for (const ManifestFile& file : manifest->files) {
            for (const ManifestShare& share : file.shares) {
                if (share.storedSize == 0) continue;
                const std::string where = name + ": " + file.name + ", stream " +
                                          std::to_string(share.archive.stream) +
                                          ", archive file " + archiveFileName(share.archive);
                std::string why;
                localplatform::ArchiveData* const archive = data.open(share.archive, why);
                if (!archive) {
                    result.problems.push_back(where + ": " + why);
                    continue;
                }
                const std::string problem =
                    checkShare(*archive, file, share, stages ? &*stages : nullptr);
                if (!problem.empty()) result.problems.push_back(where + ": " + problem);
            }
        }
    }
    return result;
}
