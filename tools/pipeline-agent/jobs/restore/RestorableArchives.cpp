#include "jobs/restore/RestorableArchives.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "base/AgentError.h"
#include "base/Sha256.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"

namespace {

// "archive file T-G-A of stream K".
std::string described(const ManifestArchive& a) {
    return "archive file " + archiveFileName(a) + " of stream " + std::to_string(a.stream);
}

// Throws when the closed file record's data is not in the store.
void requirePresent(const ManifestArchive& a, const localplatform::ArchiveFileRecord& record) {
    if (!localplatform::archiveDataPresent(record)) {
        throw jobFailed(described(a) + " is closed in the catalog, but its data " + record.path +
                        " is missing from the store; the store is damaged (`check` reports "
                        "it)");
    }
}

}  // namespace

void requireArchiveData(const Manifest& manifest) {
    for (const ManifestArchive& a : manifest.archives) {
        std::optional<localplatform::ArchiveFileRecord> found;
        try {
            found = localplatform::lookUpArchiveFile(a.trellanId, a.groupNumber, a.afileId);
        } catch (const localplatform::StoreError&) {
            return;  // the setup fails and requireRestorableArchives says why
        }
        if (found && found->state == "closed") requirePresent(a, *found);
    }
}

void requireRestorableArchives(const Manifest& manifest, const std::string& store) {
    for (const ManifestArchive& a : manifest.archives) {
        const std::string file = described(a);
        std::optional<localplatform::ArchiveFileRecord> found;
        try {
            found = localplatform::lookUpArchiveFile(a.trellanId, a.groupNumber, a.afileId);
        } catch (const localplatform::StoreError& error) {
            // A catalog that cannot be read (its server down) is no missing file.
            using Kind = localplatform::StoreError::Kind;
            if (error.kind() == Kind::Unusable) throw badInput(error.what());
            throw jobFailed(error.what());
        }
        if (!found) {
            throw badInput(file + " is not in the store " + store +
                           "; is this the store the backup used?");
        }
        const localplatform::ArchiveFileRecord& record = *found;
        if (record.state == "invalidated") {
            throw badInput(file + " was invalidated (job " + std::to_string(record.jobId) +
                           " did not complete); it cannot be restored");
        }
        if (record.state != "closed") {
            throw badInput(file +
                           " is incomplete (still being written, or its job did not "
                           "finish); it cannot be restored");
        }
        requirePresent(a, record);
    }
}

namespace {

// One stretch of a damaged job's archive file that a file's restore reads:
// a share, or a piece of the job's own.
struct StoredStretch {
    const ManifestArchive& archive;
    uint64_t seekOffset;
    uint64_t storedSize;
    const std::string& storedSha256;
};

void requireWholeStretch(const ManifestFile& file, const StoredStretch& part,
                         unsigned long long jobId) {
    const ManifestArchive& a = part.archive;
    std::optional<localplatform::ArchiveFileRecord> found;
    try {
        found = localplatform::lookUpArchiveFile(a.trellanId, a.groupNumber, a.afileId);
    } catch (const localplatform::StoreError& error) {
        throw jobFailed(error.what());
    }
    const std::string lead =
        described(a) + " of job " + std::to_string(jobId) + ", which is marked damaged, ";
    const std::string cannot = "; " + file.name + " cannot be restored";
    if (!found || found->state != "closed") {
        throw jobFailed(lead + "is not a closed archive file of the store" + cannot);
    }
    std::string why;
    const std::unique_ptr<localplatform::ArchiveData> data =
        localplatform::openArchiveData(*found, &why);
    if (!data) throw jobFailed(lead + "has no data file " + found->path + cannot);
    const uint64_t end = part.seekOffset + part.storedSize;
    if (data->size() < end) {
        throw jobFailed(lead + "holds " + std::to_string(data->size()) + " bytes; " + file.name +
                        "'s part lies at bytes " + std::to_string(part.seekOffset) + " to " +
                        std::to_string(end) + cannot);
    }
    Sha256 digest;
    std::vector<char> buffer(1 << 16);
    for (uint64_t at = part.seekOffset; at < end;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), end - at));
        if (!data->readExactly(buffer.data(), want, at)) {
            throw jobFailed(lead + "cannot be read at byte " + std::to_string(at) + cannot);
        }
        digest.update(buffer.data(), want);
        at += want;
    }
    if (!part.storedSha256.empty() && digest.hex() != part.storedSha256) {
        throw jobFailed(lead + "holds other bytes than " + file.name + "'s part at bytes " +
                        std::to_string(part.seekOffset) + " to " + std::to_string(end) + cannot);
    }
}

}  // namespace

void requireWholeParts(const std::vector<const ManifestFile*>& files, unsigned long long jobId) {
    for (const ManifestFile* file : files) {
        // What other jobs hold is theirs: the restore requires them complete.
        if (file->heldBy != 0) continue;
        for (const ManifestShare& share : file->shares) {
            if (share.size == 0) continue;
            requireWholeStretch(
                *file, {share.archive, share.seekOffset, share.storedSize, share.storedSha256},
                jobId);
        }
        for (const ManifestPiece& piece : file->pieces) {
            if (piece.heldBy != 0) continue;
            requireWholeStretch(
                *file, {piece.archive, piece.seekOffset, piece.storedSize, piece.storedSha256},
                jobId);
        }
    }
}
