#include "manifest/StoredManifest.h"

#include "base/AgentError.h"
#include "platform/local/Config.h"
#include "platform/local/JobManifest.h"
#include "platform/local/Jobs.h"

std::string storedManifestPath(unsigned long long jobId) {
    return localplatform::jobManifestPath(jobId);
}

std::optional<Manifest> storedManifest(unsigned long long jobId) {
    std::optional<std::string> text;
    try {
        text = localplatform::jobManifest(jobId);
    } catch (const localplatform::StoreError& error) {
        throw jobFailed(error.what());
    }
    if (!text) return std::nullopt;
    const std::string path = storedManifestPath(jobId);
    Manifest manifest = parseManifest(*text, path);
    if (manifest.jobId != jobId) {
        throw badInput("manifest " + path + " is of job " + std::to_string(manifest.jobId) +
                       ", not of job " + std::to_string(jobId));
    }
    return manifest;
}

namespace {

// The shares' places, sizes and digests (a restore of shares reads no
// frame sizes: a manifest of the first format has none).
bool sameShares(const std::vector<ManifestShare>& given, const std::vector<ManifestShare>& stored) {
    if (given.size() != stored.size()) return false;
    for (std::size_t i = 0; i < given.size(); ++i) {
        ManifestShare share = given[i];
        share.frames = stored[i].frames;
        if (!(share == stored[i])) return false;
    }
    return true;
}

// Everything a restore obeys of an entry but its name: a manifest of the
// first format records no mode and no modification time, which earlier
// releases left out of the second format too (timeOptional: a manifest of
// either of the first two formats may lack the time its copy records). The
// blocks of a file in pieces are checked as it is restored; a file of
// shares is checked by them.
bool sameData(const ManifestFile& given, const ManifestFile& stored, bool timeOptional) {
    const bool sameTime = given.hasMtime ? stored.hasMtime && given.mtime == stored.mtime
                                         : !stored.hasMtime || timeOptional;
    return given.size == stored.size && given.sha256 == stored.sha256 &&
           sameShares(given.shares, stored.shares) && given.kind == stored.kind &&
           given.target == stored.target && sameTime && given.heldBy == stored.heldBy &&
           given.stripeUnit == stored.stripeUnit && given.stripes == stored.stripes &&
           given.pieces == stored.pieces &&
           (!stored.hasPieces() ||
            (given.blockSize == stored.blockSize && given.blocks == stored.blocks)) &&
           (given.mode == -1 || given.mode == stored.mode);
}

}  // namespace

bool agreesWithStored(const Manifest& given, const Manifest& stored) {
    if (given.jobId != stored.jobId || given.archives != stored.archives ||
        given.stages != stored.stages || given.cluster != stored.cluster ||
        given.wal != stored.wal || given.references != stored.references) {
        return false;
    }
    for (const ManifestFile& file : given.files) {
        bool found = false;
        for (const ManifestFile& each : stored.files) {
            // A first-format manifest may record no name.
            if ((file.name.empty() || file.name == each.name) &&
                sameData(file, each, given.version < 3 && stored.version < 3)) {
                found = true;
                break;
            }
        }
        if (!found) return false;
    }
    return true;
}

void keepManifestInStore(const Manifest& manifest) {
    try {
        localplatform::storeJobManifest(manifest.jobId, manifestText(manifest));
    } catch (const localplatform::StoreError& error) {
        localplatform::failJob(manifest.jobId);
        throw jobFailed(std::string("cannot keep the manifest in the store: ") + error.what() +
                        "; the job is marked failed");
    }
}

bool requireSameAsStored(const Manifest& given, const std::string& path) {
    const std::optional<Manifest> stored = storedManifest(given.jobId);
    if (!stored) return false;
    if (!agreesWithStored(given, *stored)) {
        throw badInput("manifest " + path + " differs from the store's copy of job " +
                       std::to_string(given.jobId) + " (" + storedManifestPath(given.jobId) +
                       "); it was altered, or belongs to another store");
    }
    return true;
}
