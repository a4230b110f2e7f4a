#include "jobs/FrameChecks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// The archive files' data, each opened once.
class DataFiles {
public:
    ~DataFiles() {
        for (const auto& [name, fd] : m_open) {
            if (fd >= 0) ::close(fd);
        }
    }
    // The descriptor of the archive file's data, or -1 with why set.
    int open(const ManifestArchive& archive, std::string& why) {
        const std::string name = archiveFileName(archive);
        const auto found = m_open.find(name);
        if (found != m_open.end()) return found->second;
        std::optional<localplatform::ArchiveFileRecord> record =
            localplatform::lookUpArchiveFile(archive.trellanId, archive.groupNumber,
                                             archive.afileId);
        int fd = -1;
        if (!record) {
            why = "the catalog does not know it";
        } else if ((fd = ::open(record->path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
            why = "cannot read " + record->path + ": " + std::strerror(errno);
        }
        m_open[name] = fd;
        return fd;
    }

private:
    std::map<std::string, int> m_open;
};

// Reads length bytes at offset into data; false at the file's end or an error.
bool readAt(int fd, char* data, std::size_t length, uint64_t offset) {
    while (length > 0) {
        const ssize_t got = ::pread(fd, data, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        length -= static_cast<std::size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

// Checks one share; empty when sound, else the problem.
std::string checkShare(int fd, const ManifestFile& file, const ManifestShare& share,
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
            if (!readAt(fd, buffer.data(), length, share.seekOffset + done)) {
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
                const int fd = data.open(share.archive, why);
                if (fd < 0) {
                    result.problems.push_back(where + ": " + why);
                    continue;
                }
                const std::string problem =
                    checkShare(fd, file, share, stages ? &*stages : nullptr);
                if (!problem.empty()) result.problems.push_back(where + ": " + problem);
            }
        }
    }
    return result;
}
