#include "jobs/backup/BackupChain.h"

#include <climits>
#include <cstdlib>
#include <map>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Sha256.h"
#include "jobs/backup/ClusterBackup.h"
#include "manifest/StoredManifest.h"

namespace {

std::string absolutePath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// The newest complete job of set `set` that a backup of `type` is compared
// with, newest first; nothing when the store has none. Reads the stored
// manifests of the newer jobs on the way; one that cannot be read is passed
// over with a line (check names it), and an older job compared with.
std::optional<Manifest> newestOfSet(BackupType type, const std::string& set) {
    const std::vector<localplatform::JobRecord> jobs = localplatform::listJobs();
    for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) {
        if (job->state != "complete") continue;
        std::optional<Manifest> manifest;
        try {
            manifest = storedManifest(job->jobId);
        } catch (const AgentError& error) {
            say("passing over job %llu: %s", job->jobId, error.what());
            continue;
        }
        if (!manifest || !manifest->chain || manifest->chain->set != set) continue;
        if (type == BackupType::Diff && manifest->chain->type != BackupType::Full) continue;
        return manifest;
    }
    return std::nullopt;
}

// Why a backup cannot be compared with `reference`; empty when it can.
std::string unusableBecause(const Manifest& reference, bool encrypted, unsigned long depth) {
    const std::string job = "job " + std::to_string(reference.jobId);
    if (reference.stages.encrypted() != encrypted) {
        return job + (encrypted ? " is not encrypted and this backup is"
                                : " is encrypted and this backup is not");
    }
    if (depth > kLongestChain) {
        return job + " ends a chain of " + std::to_string(depth - 1) +
               " backups since its full, the most a chain holds";
    }
    return "";
}

// Holds every job whose data a job compared with `reference` may refer to:
// the reference itself and the jobs it refers to. Throws StoreError when one
// is being deleted.
void holdHolders(const Manifest& reference, ChainStart& start) {
    start.holds.push_back(localplatform::holdJobForReading(reference.jobId));
    for (const ManifestReference& held : reference.references) {
        start.holds.push_back(localplatform::holdJobForReading(held.jobId));
    }
    for (const auto& hold : start.holds) {
        if (hold->state() != "complete") {
            throw localplatform::StoreError(localplatform::StoreError::Kind::Failed,
                                            "a job it refers to is no longer complete");
        }
    }
}

}  // namespace

bool sameFile(const InputFile& input, const ManifestFile& recorded, bool verifyContent) {
    const FileIdentity& now = input.identity();
    const int64_t ctime = now.changedSeconds * 1000000000LL + now.changedNanoseconds;
    if (!recorded.isFile() || !recorded.hasIdentity || recorded.size != input.size() ||
        recorded.mode != input.mode() || recorded.mtime != input.mtime() ||
        recorded.ctime != ctime || recorded.inode != now.inode) {
        return false;
    }
    if (!verifyContent) return true;
    Sha256 digest;
    std::vector<char> buffer(1 << 20);
    input.open();
    for (uint64_t offset = 0; offset < input.size();) {
        const auto length =
            static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), input.size() - offset));
        input.readAt(buffer.data(), length, offset);
        digest.update(buffer.data(), length);
        offset += length;
    }
    input.release();
    return digest.hex() == recorded.sha256;
}

std::string defaultSetName(const BackupOptions& options, const ClusterBackup* cluster) {
    if (cluster) return "postgres cluster " + cluster->systemIdentifier();
    std::string name;
    for (const std::string& input : options.inputs) {
        name += (name.empty() ? "" : ", ") + absolutePath(input);
    }
    if (options.pipe.given()) name += (name.empty() ? "stream " : ", stream ") + options.pipe.name;
    return name;
}

ChainStart startChain(BackupType type, const std::string& set, bool encrypted) {
    ChainStart start;
    start.chain.set = set;
    if (type == BackupType::Full) return start;
    const char* asked = backupTypeName(type);
    std::optional<Manifest> reference;
    std::string why;
    try {
        reference = newestOfSet(type, set);
        if (!reference) {
            why = std::string("the store holds no complete ") +
                  (type == BackupType::Diff ? "full backup" : "backup") + " of it";
        } else {
            const ManifestChain& before = *reference->chain;
            const unsigned long depth = type == BackupType::Diff ? 1 : before.depth + 1;
            why = unusableBecause(*reference, encrypted, depth);
            if (why.empty()) {
                holdHolders(*reference, start);
                start.chain.type = type;
                start.chain.reference = reference->jobId;
                start.chain.full = before.type == BackupType::Full ? reference->jobId : before.full;
                start.chain.depth = depth;
            }
        }
    } catch (const localplatform::StoreError& error) {
        why = std::string("a job it needs cannot be held: ") + error.what();
    }
    if (!why.empty()) {
        start.holds.clear();
        say("set %s: no %s backup: %s; taking a full backup", set.c_str(), asked, why.c_str());
        return start;
    }
    say("set %s: %s backup against job %llu (full %llu)", set.c_str(), asked,
        start.chain.reference, start.chain.full);
    start.reference = std::move(reference);
    return start;
}

void markUnchanged(BackupSet& set, const Manifest& reference, bool verifyContent, bool snapshots) {
    std::map<std::string, const ManifestFile*> recorded;
    for (const ManifestFile& file : reference.files) recorded.emplace(file.name, &file);
    std::size_t read = 0, unchanged = 0;
    for (SetEntry& entry : set.entries) {
        if (entry.kind != ManifestFile::Kind::File) continue;
        const InputFile& input =
            entry.named != SIZE_MAX ? *set.inputs[entry.named] : *set.treeInputs[entry.tree];
        const auto found = recorded.find(entry.name);
        const bool snapshot = snapshots && entry.named != SIZE_MAX && input.sqliteDatabase();
        if (!snapshot && found != recorded.end() &&
            sameFile(input, *found->second, verifyContent)) {
            entry.unchanged = found->second;
            entry.read = SIZE_MAX;
            ++unchanged;
            continue;
        }
        entry.read = read++;
    }
    set.fileCount = read;
    say("%zu of %zu files unchanged since job %llu; reading %zu", unchanged, unchanged + read,
        reference.jobId, read);
}

ManifestFile referringEntry(ManifestFile current, const ManifestFile& unchanged,
                            const Manifest& reference, Manifest& manifest) {
    current.size = unchanged.size;
    current.sha256 = unchanged.sha256;
    current.blockSize = unchanged.blockSize;
    current.blocks = unchanged.blocks;
    if (unchanged.hasPieces()) {
        // Each piece names the job that holds it: reference's own pieces
        // are now reference's to hold.
        current.pieces = unchanged.pieces;
        for (ManifestPiece& piece : current.pieces) {
            if (piece.heldBy == 0) piece.heldBy = reference.jobId;
            piece.sha256.clear();
            piece.storedSha256.clear();
            referTo(piece.heldBy, reference, manifest);
        }
        return current;
    }
    current.shares = unchanged.shares;
    current.partsSha256 = unchanged.partsSha256;
    current.heldBy = unchanged.heldBy != 0 ? unchanged.heldBy : reference.jobId;
    referTo(current.heldBy, reference, manifest);
    return current;
}

void referTo(unsigned long long holder, const Manifest& reference, Manifest& manifest) {
    if (manifest.referenceTo(holder)) return;
    if (holder == reference.jobId) {
        manifest.references.push_back({reference.jobId, reference.archives, reference.stages});
    } else {
        manifest.references.push_back(*reference.referenceTo(holder));
    }
}
