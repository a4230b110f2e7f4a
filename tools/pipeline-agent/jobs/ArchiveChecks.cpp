#include "jobs/ArchiveChecks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "base/AgentError.h"
#include "base/Sha256.h"
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

void requireWholeParts(const std::vector<const ManifestFile*>& files, unsigned long long jobId) {
    for (const ManifestFile* file : files) {
        for (const ManifestShare& share : file->shares) {
            const ManifestArchive& a = share.archive;
            if (share.size == 0) continue;
            std::optional<localplatform::ArchiveFileRecord> found;
            try {
                found = localplatform::lookUpArchiveFile(a.trellanId, a.groupNumber, a.afileId);
            } catch (const localplatform::StoreError& error) {
                throw jobFailed(error.what());
            }
            const std::string lead =
                described(a) + " of job " + std::to_string(jobId) + ", which is marked damaged, ";
            const std::string cannot = "; " + file->name + " cannot be restored";
            if (!found || found->state != "closed") {
                throw jobFailed(lead + "is not a closed archive file of the store" + cannot);
            }
            const int fd =
                ::open(found->path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            struct stat status {};
            if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
                if (fd >= 0) ::close(fd);
                throw jobFailed(lead + "has no data file " + found->path + cannot);
            }
            const uint64_t end = share.seekOffset + share.size;
            if (static_cast<uint64_t>(status.st_size) < end) {
                ::close(fd);
                throw jobFailed(lead + "holds " + std::to_string(status.st_size) + " bytes; " +
                                file->name + "'s part lies at bytes " +
                                std::to_string(share.seekOffset) + " to " + std::to_string(end) +
                                cannot);
            }
            Sha256 digest;
            std::vector<char> buffer(1 << 16);
            uint64_t at = share.seekOffset;
            while (at < end) {
                const std::size_t want =
                    static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), end - at));
                const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(at));
                if (got <= 0) {
                    ::close(fd);
                    throw jobFailed(lead + "cannot be read at byte " + std::to_string(at) + cannot);
                }
                digest.update(buffer.data(), static_cast<std::size_t>(got));
                at += static_cast<uint64_t>(got);
            }
            ::close(fd);
            if (!share.sha256.empty() && digest.hex() != share.sha256) {
                throw jobFailed(lead + "holds other bytes than " + file->name +
                                "'s part at bytes " + std::to_string(share.seekOffset) + " to " +
                                std::to_string(end) + cannot);
            }
        }
    }
}
