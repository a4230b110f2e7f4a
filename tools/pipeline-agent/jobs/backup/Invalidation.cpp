#include "jobs/backup/Invalidation.h"

#include <optional>

#include "base/Console.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/StoreSession.h"

bool archiveFilesInvalidated(unsigned long long jobId, unsigned long streams,
                             unsigned long streamsBefore) noexcept {
    try {
        for (unsigned long k = streamsBefore + 1; k <= streamsBefore + streams; ++k) {
            localplatform::ArchiveFileRecord created;
            if (!localplatform::createdArchiveFile(jobId, k, &created)) continue;
            const auto record = localplatform::lookUpArchiveFile(
                created.trellanId, created.groupNumber, created.afileId);
            if (!record || record->state != "invalidated") return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

void sayInvalidationFailed() {
    std::string store = "STORE";
    try {
        store = localplatform::storeDirectory();
    } catch (...) {}
    say("invalidating the job's archive files failed (the log says why); they keep their space "
        "until `pipeline-agent --store %s cleanup` removes them",
        store.c_str());
}
