#include "jobs/ArchiveChecks.h"

#include <optional>

#include "base/AgentError.h"
#include "platform/local/LocalPlatform.h"

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
