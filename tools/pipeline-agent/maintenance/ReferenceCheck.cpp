#include "maintenance/ReferenceCheck.h"

#include "base/Counted.h"

namespace {

bool sameFile(const ManifestArchive& archive, const localplatform::ArchiveFileRecord& record) {
    return archive.trellanId == record.trellanId && archive.groupNumber == record.groupNumber &&
           archive.afileId == record.afileId;
}

// "archive file A (stream K)".
std::string named(const ManifestArchive& archive) {
    return "archive file " + archiveFileName(archive) + " (stream " +
           std::to_string(archive.stream) + ")";
}

}  // namespace

std::string referenceProblem(const ManifestReference& reference,
                             const localplatform::JobRecord* holder) {
    const std::string job = "job " + std::to_string(reference.jobId);
    if (!holder) return "the store has no " + job;
    if (holder->state != "complete") return job + " is " + holder->state + ", not complete";
    for (const ManifestArchive& archive : reference.archives) {
        const localplatform::ArchiveFileRecord* found = nullptr;
        for (const auto& file : holder->files) {
            if (sameFile(archive, file)) found = &file;
        }
        if (!found) return named(archive) + " is not " + job + "'s";
        if (found->state != "closed") {
            return named(archive) + " of " + job + " is " + found->state + ", not closed";
        }
    }
    for (const auto& file : holder->files) {
        bool listed = false;
        for (const ManifestArchive& archive : reference.archives) {
            listed = listed || sameFile(archive, file);
        }
        if (!listed) {
            return job + " has " +
                   named({file.stream, file.trellanId, file.groupNumber, file.afileId}) +
                   ", which the reference does not name";
        }
    }
    return "";
}

std::string referenceWhere(const Manifest& manifest, unsigned long long holder) {
    const std::string job = "job " + std::to_string(manifest.jobId);
    const std::string held = "job " + std::to_string(holder);
    const ManifestFile* first = nullptr;
    std::size_t count = 0;
    for (const ManifestFile& file : manifest.files) {
        if (file.heldBy != holder) continue;
        if (!first) first = &file;
        ++count;
    }
    if (!first) return job + "'s reference to " + held;
    return job + ": " + first->name +
           (count > 1 ? " (and " + counted(count - 1, "more file") + ")" : "") + " held by " + held;
}
