#include "maintenance/FrameVerification.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "base/AgentError.h"
#include "maintenance/ShareCheck.h"
#include "manifest/StoredManifest.h"
#include "platform/local/Jobs.h"
#include "session/StoreSession.h"
#include "stages/JobStages.h"

namespace {

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

// One verification of the store's framed jobs: what it found so far, and
// the archive files it opened.
class FrameVerifier {
public:
    FrameVerifier(const localplatform::Config& config, const KeySource& key,
                  const FrameLimits& limits)
        : m_config(config), m_key(key), m_limits(limits) {
        const char* passphrase = std::getenv("PIPELINE_PASSPHRASE");
        m_keyGiven = !key.keyFile.empty() || (passphrase && *passphrase);
    }

    // Verifies the shares of a complete job whose bytes went through
    // stages; any other job is left alone.
    void verifyJob(const localplatform::JobRecord& job) {
        if (job.state != "complete") return;
        std::optional<Manifest> manifest;
        try {
            manifest = storedManifest(job.jobId);
        } catch (const AgentError&) {
            return;  // reported with the store's manifests
        }
        if (!manifest || !manifest->stages.framed) return;
        const std::string name = "job " + std::to_string(job.jobId);
        const std::optional<JobStages> stages = stagesFor(*manifest, name);
        ++m_result.jobs;
        for (const ManifestFile& file : manifest->files) {
            for (const ManifestShare& share : file.shares) {
                if (share.storedSize == 0) continue;
                verifyShare(name, file, share, stages ? &*stages : nullptr);
            }
        }
    }

    // What the jobs verified so far found; the verifier is spent then.
    FrameVerification take() { return std::move(m_result); }

private:
    // The stages to open the job's frames with, or none when they are
    // checked as stored only: an encrypted job without a key (a note), one
    // the key given does not open (keyRefused), one whose stages cannot be
    // made (a note). A signal during the key's derivation ends the check.
    std::optional<JobStages> stagesFor(const Manifest& manifest, const std::string& name) {
        if (manifest.stages.encrypted() && !m_keyGiven) {
            m_result.notes.push_back(name +
                                     " is encrypted and no key was given: its frames were "
                                     "checked as stored (sizes, digests), not opened");
            return std::nullopt;
        }
        try {
            return jobStagesOf(manifest, m_key);
        } catch (const AgentError& error) {
            if (error.kind() == AgentError::Kind::Interrupted) throw;
            (manifest.stages.encrypted() ? m_result.keyRefused : m_result.notes)
                .push_back(name + ": " + error.what() + "; its frames were checked as stored only");
            return std::nullopt;
        }
    }

    // Verifies one share, read when it fits in what is left of the bound.
    void verifyShare(const std::string& name, const ManifestFile& file, const ManifestShare& share,
                     const JobStages* stages) {
        const std::string where = name + ": " + file.name + ", stream " +
                                  std::to_string(share.archive.stream) + ", archive file " +
                                  archiveFileName(share.archive);
        std::string why;
        localplatform::ArchiveData* const archive = m_data.open(share.archive, why);
        if (!archive) {
            m_result.problems.push_back(where + ": " + why);
            return;
        }
        if (!fits(share.storedSize)) {
            placeUnread(where, *archive, share);
            return;
        }
        std::string problem;
        try {
            problem = checkShare(*archive, file, share, stages, [&](std::size_t length) {
                count(length, archiveFileName(share.archive));
            });
        } catch (const localplatform::StoreError& error) {
            throwStoreError(error, m_config);
        }
        if (!problem.empty()) m_result.problems.push_back(where + ": " + problem);
    }

    // A share past the bound is not read: only its place is compared with
    // its archive file's size.
    void placeUnread(const std::string& where, localplatform::ArchiveData& archive,
                     const ManifestShare& share) {
        if (archive.size() < share.seekOffset + share.storedSize) {
            m_result.problems.push_back(where + ": its stored bytes end before the manifest's " +
                                        std::to_string(share.storedSize));
            return;
        }
        m_result.unverified.push_back(
            where + ": " + std::to_string(share.storedSize) +
            (*m_limits.maxBytes == 0
                 ? " stored bytes, sizes only"
                 : " stored bytes, past --max-bytes " + std::to_string(*m_limits.maxBytes)));
    }

    // Whether stored bytes of this size fit in what is left of the bound.
    bool fits(uint64_t size) const {
        if (!m_limits.maxBytes) return true;
        const unsigned long long bound = *m_limits.maxBytes;
        return size <= bound - std::min(bound, m_limits.read + m_result.bytes);
    }

    // Counts a chunk read from the archive file at path, tells the progress,
    // and stops the check after a signal.
    void count(std::size_t length, const std::string& path) {
        m_result.bytes += length;
        if (m_limits.progress) m_limits.progress(m_limits.read + m_result.bytes, path);
        if (localplatform::interrupted()) {
            throw localplatform::StoreError(localplatform::StoreError::Kind::Interrupted,
                                            "stopped before the end; the store is as it was");
        }
    }

    const localplatform::Config& m_config;
    const KeySource& m_key;
    const FrameLimits& m_limits;
    bool m_keyGiven = false;
    DataFiles m_data;
    FrameVerification m_result;
};

}  // namespace

FrameVerification verifyFramedJobs(const localplatform::Config& config, const KeySource& key,
                                   const FrameLimits& limits) {
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    FrameVerifier verifier(config, key, limits);
    for (const auto& job : jobs) verifier.verifyJob(job);
    return verifier.take();
}
