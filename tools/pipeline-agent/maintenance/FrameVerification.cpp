#include "maintenance/FrameVerification.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "base/AgentError.h"
#include "base/Sha256.h"
#include "session/StoreSession.h"
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

// Checks one share; empty when sound, else the problem. count is told of
// every chunk read.
std::string checkShare(localplatform::ArchiveData& data, const ManifestFile& file,
                       const ManifestShare& share, const JobStages* stages,
                       const std::function<void(std::size_t)>& count) {
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
            count(length);
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

FrameVerification verifyFramedJobs(const localplatform::Config& config, const KeySource& key,
                           const FrameLimits& limits) {
    FrameVerification result;
    // Whether stored bytes of this size fit in what is left of the bound.
    const auto fits = [&](uint64_t size) {
        if (!limits.maxBytes) return true;
        const unsigned long long bound = *limits.maxBytes;
        return size <= bound - std::min(bound, limits.read + result.bytes);
    };
    const auto count = [&](std::size_t length, const std::string& path) {
        result.bytes += length;
        if (limits.progress) limits.progress(limits.read + result.bytes, path);
        if (localplatform::interrupted()) {
            throw localplatform::StoreError(localplatform::StoreError::Kind::Interrupted,
                                            "stopped before the end; the store is as it was");
        }
    };
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
                // A signal during the key's derivation ends the check.
                if (error.kind() == AgentError::Kind::Interrupted) throw;
                stages.reset();
                (manifest->stages.encrypted() ? result.keyRefused : result.notes)
                    .push_back(name + ": " + error.what() +
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
                if (!fits(share.storedSize)) {
                    // Not read: only its place compared with the file's size.
                    if (archive->size() < share.seekOffset + share.storedSize) {
                        result.problems.push_back(where +
                                                  ": its stored bytes end before the "
                                                  "manifest's " +
                                                  std::to_string(share.storedSize));
                    } else {
                        result.unverified.push_back(
                            where + ": " + std::to_string(share.storedSize) +
                            (*limits.maxBytes == 0 ? " stored bytes, sizes only"
                                                   : " stored bytes, past --max-bytes " +
                                                         std::to_string(*limits.maxBytes)));
                    }
                    continue;
                }
                std::string problem;
                try {
                    problem = checkShare(
                        *archive, file, share, stages ? &*stages : nullptr,
                        [&](std::size_t length) { count(length, archiveFileName(share.archive)); });
                } catch (const localplatform::StoreError& error) {
                    throwStoreError(error, config);
                }
                if (!problem.empty()) result.problems.push_back(where + ": " + problem);
            }
        }
    }
    return result;
}
