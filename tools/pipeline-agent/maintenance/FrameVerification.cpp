#include "maintenance/FrameVerification.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "base/AgentError.h"
#include "base/Sha256.h"
#include "maintenance/ReferenceCheck.h"
#include "maintenance/ShareCheck.h"
#include "manifest/BlockPieces.h"
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

// One verification of the store's complete jobs' stored bytes: what it
// found so far, the archive files it opened, the stages it made and the
// shares it read, each once.
class FrameVerifier {
public:
    FrameVerifier(const localplatform::Config& config, const KeySource& key,
                  const FrameLimits& limits, const std::vector<localplatform::JobRecord>& jobs)
        : m_config(config), m_key(key), m_limits(limits) {
        const char* passphrase = std::getenv("PIPELINE_PASSPHRASE");
        m_keyGiven = !key.keyFile.empty() || (passphrase && *passphrase);
        for (const auto& job : jobs) m_jobs[job.jobId] = &job;
    }

    // Verifies a complete job: the shares of its own files when its bytes
    // went through stages, and every job it refers to with the shares of
    // the files held there; any other job is left alone.
    void verifyJob(const localplatform::JobRecord& job) {
        if (job.state != "complete") return;
        std::optional<Manifest> manifest;
        try {
            manifest = storedManifest(job.jobId);
        } catch (const AgentError&) {
            return;  // reported with the store's manifests
        }
        if (!manifest) return;
        if (manifest->stages.framed) {
            const std::string name = "job " + std::to_string(job.jobId);
            const JobStages* stages = stagesFor(*manifest, name);
            ++m_result.jobs;
            for (const ManifestFile& file : manifest->files) {
                if (file.heldBy != 0) continue;  // its holder's bytes: with its reference
                for (const ManifestShare& share : file.shares) {
                    if (share.storedSize == 0) continue;
                    verifyShare(name + ": " + file.name, job.jobId, file, share, stages, false);
                }
                for (const ManifestPiece& piece : file.pieces) {
                    if (piece.heldBy != 0) continue;
                    verifyPiece(name + ": " + file.name, job.jobId, file, piece, true, stages,
                                false);
                }
            }
        }
        for (const ManifestReference& reference : manifest->references) {
            verifyReference(*manifest, reference);
        }
    }

    // What the jobs verified so far found; the verifier is spent then.
    FrameVerification take() { return std::move(m_result); }

private:
    // One reference of a complete job: the referred job complete, its
    // archive files those the reference names, closed and with their data
    // in the store, one line for the first thing wrong; then each share of
    // the files held there, read with the holder's stages (jobView) as a
    // restore reads it.
    void verifyReference(const Manifest& manifest, const ManifestReference& reference) {
        const std::string where = referenceWhere(manifest, reference.jobId);
        const auto holder = m_jobs.find(reference.jobId);
        std::string problem =
            referenceProblem(reference, holder == m_jobs.end() ? nullptr : holder->second);
        for (std::size_t k = 0; problem.empty() && k < reference.archives.size(); ++k) {
            std::string why;
            if (!m_data.open(reference.archives[k], why)) {
                problem = "archive file " + archiveFileName(reference.archives[k]) + " (stream " +
                          std::to_string(reference.archives[k].stream) + "): " + why;
            }
        }
        if (!problem.empty()) {
            m_result.problems.push_back(where + ": " + problem);
            return;
        }
        const JobStages* stages = nullptr;
        if (reference.stages.framed) {
            stages = stagesFor(jobView(manifest, reference.jobId),
                               "job " + std::to_string(reference.jobId));
        }
        const std::string name = "job " + std::to_string(manifest.jobId);
        const std::string held = ", held by job " + std::to_string(reference.jobId);
        for (const ManifestFile& file : manifest.files) {
            for (const ManifestPiece& piece : file.pieces) {
                if (piece.heldBy != reference.jobId) continue;
                verifyPiece(name + ": " + file.name + held, reference.jobId, file, piece,
                            reference.stages.framed, stages, true);
            }
            if (file.heldBy != reference.jobId) continue;
            for (const ManifestShare& share : file.shares) {
                if (share.storedSize == 0) continue;
                verifyShare(name + ": " + file.name + held, reference.jobId, file, share, stages,
                            true);
            }
        }
    }

    // The stages to open a job's frames with (manifest: the job's own, or
    // jobView's of a job referred to), made once a job; null when they are
    // checked as stored only: an encrypted job without a key (a note), one
    // the key given does not open (keyRefused), one whose stages cannot be
    // made (a note), each said once. A signal during the key's derivation
    // ends the check.
    const JobStages* stagesFor(const Manifest& manifest, const std::string& name) {
        const auto known = m_stages.find(manifest.jobId);
        if (known != m_stages.end() && known->second.first == manifest.stages) {
            return known->second.second ? &*known->second.second : nullptr;
        }
        auto& made = m_stages[manifest.jobId];
        made = {manifest.stages, makeStages(manifest, name)};
        return made.second ? &*made.second : nullptr;
    }

    std::optional<JobStages> makeStages(const Manifest& manifest, const std::string& name) {
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

    // Verifies one share of file, in the archive files of job `owner` (its
    // own, or with held those of a job it is held by). `what` names the job
    // and the file.
    void verifyShare(const std::string& what, unsigned long long owner, const ManifestFile& file,
                     const ManifestShare& share, const JobStages* stages, bool held) {
        const std::string key = std::to_string(owner) + " " + file.name + " " +
                                archiveFileName(share.archive) + " " +
                                std::to_string(share.seekOffset) + " " +
                                std::to_string(share.storedSize) + " " + share.storedSha256 + " " +
                                share.sha256 + (stages ? " opened" : " stored");
        verifyStored(what, key, share.archive, share.seekOffset, share.storedSize, held,
                     [&](localplatform::ArchiveData& data, const Counter& counter) {
                         return checkShare(data, file, share, stages, counter);
                     });
    }

    // Verifies one piece of file, in the archive files of the job that
    // holds it (owner; held: a job the manifest refers to), its frames
    // opened with stages when they are framed. The same stretch of the same
    // holder read for another job that keeps the same blocks is read once.
    void verifyPiece(const std::string& what, unsigned long long owner, const ManifestFile& file,
                     const ManifestPiece& piece, bool framed, const JobStages* stages,
                     bool held) {
        // The digests its bytes are checked against.
        const std::string digests =
            file.blocks.substr(std::min<std::size_t>(piece.sourceOffset / file.blockSize * 64,
                                                     file.blocks.size()),
                               blocksIn(piece.size, file.blockSize) * 64);
        Sha256 blocks;
        blocks.update(digests.data(), digests.size());
        const std::string key =
            std::to_string(owner) + " " + file.name + " " + archiveFileName(piece.archive) +
            " piece " + std::to_string(piece.seekOffset) + " " +
            std::to_string(piece.storedSize) + " " + std::to_string(piece.frameIndex) + " " +
            std::to_string(piece.frameOffset) + " " + std::to_string(piece.sourceOffset) + " " +
            std::to_string(piece.size) + " " + std::to_string(file.blockSize) + " " +
            blocks.hex() + " " + piece.storedSha256 + (stages ? " opened" : " stored");
        verifyStored(what, key, piece.archive, piece.seekOffset, piece.storedSize, held,
                     [&](localplatform::ArchiveData& data, const Counter& counter) {
                         return checkPiece(data, file, piece, framed, stages, counter);
                     });
    }

    using Counter = std::function<void(std::size_t)>;
    using Check = std::function<std::string(localplatform::ArchiveData&, const Counter&)>;

    // Verifies a stretch of stored bytes (a share or a piece) of archive
    // file `archive`, with `check`, when it fits in what is left of the
    // bound; each stretch (key) is read once, and what was found of it told
    // again for every job that names it.
    void verifyStored(const std::string& what, const std::string& key,
                      const ManifestArchive& archive, uint64_t seekOffset, uint64_t storedSize,
                      bool held, const Check& check) {
        const std::string where = what + ", stream " + std::to_string(archive.stream) +
                                  ", archive file " + archiveFileName(archive);
        std::string why;
        localplatform::ArchiveData* const data = m_data.open(archive, why);
        if (!data) {
            m_result.problems.push_back(where + ": " + why);
            return;
        }
        const auto known = m_read.find(key);
        if (known != m_read.end()) {
            if (!known->second.empty()) m_result.problems.push_back(where + ": " + known->second);
            return;
        }
        if (!fits(storedSize)) {
            placeUnread(where, *data, seekOffset, storedSize);
            return;
        }
        std::string problem;
        try {
            problem = check(*data, [&](std::size_t length) {
                count(length, archiveFileName(archive), held);
            });
        } catch (const localplatform::StoreError& error) {
            throwStoreError(error, m_config);
        }
        m_read[key] = problem;
        if (!problem.empty()) m_result.problems.push_back(where + ": " + problem);
    }

    // Stored bytes past the bound are not read: only their place is
    // compared with their archive file's size.
    void placeUnread(const std::string& where, localplatform::ArchiveData& archive,
                     uint64_t seekOffset, uint64_t storedSize) {
        if (archive.size() < seekOffset + storedSize) {
            m_result.problems.push_back(where + ": its stored bytes end before the manifest's " +
                                        std::to_string(storedSize));
            return;
        }
        m_result.unverified.push_back(
            where + ": " + std::to_string(storedSize) +
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

    // Counts a chunk read from the archive file at path (held: for a job
    // that refers to its job), tells the progress, and stops the check
    // after a signal.
    void count(std::size_t length, const std::string& path, bool held) {
        m_result.bytes += length;
        if (held) m_result.heldBytes += length;
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
    std::map<unsigned long long, const localplatform::JobRecord*> m_jobs;  // the catalog's, by id
    DataFiles m_data;
    // Each job's stages as last asked for, and what they made.
    std::map<unsigned long long, std::pair<ManifestStages, std::optional<JobStages>>> m_stages;
    // What reading each share found (empty: sound), by the share, its
    // file, its job and whether its frames were opened.
    std::map<std::string, std::string> m_read;
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
    FrameVerifier verifier(config, key, limits, jobs);
    std::map<unsigned long long, std::size_t> rank;
    for (const unsigned long long job : limits.readFirst) rank.try_emplace(job, rank.size());
    const auto rankOf = [&rank](const localplatform::JobRecord& job) {
        const auto found = rank.find(job.jobId);
        return found == rank.end() ? rank.size() : found->second;
    };
    std::vector<const localplatform::JobRecord*> order;
    for (const auto& job : jobs) order.push_back(&job);
    std::stable_sort(order.begin(), order.end(),
                     [&](const auto* a, const auto* b) { return rankOf(*a) < rankOf(*b); });
    for (const auto* job : order) verifier.verifyJob(*job);
    return verifier.take();
}
