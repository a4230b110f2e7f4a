#include "jobs/backup/Completion.h"

#include <unistd.h>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "manifest/StoredManifest.h"
#include "platform/local/StepHooks.h"

void failIfInterrupted(unsigned long long jobId) {
    if (interruptSignal() != 0) {
        localplatform::failJob(jobId);
        throwIfInterrupted();
    }
}

void completeBackup(const Manifest& manifest, const std::string& path, unsigned long long jobId) {
    keepManifestInStore(manifest);
    try {
        if (!path.empty()) saveManifest(manifest, path);
    } catch (const AgentError& error) {
        // The files are closed, but no manifest names them: the job failed,
        // after its work, whatever the cause.
        localplatform::failJob(jobId);
        throw jobFailed(std::string(error.what()) + "; the job is marked failed");
    } catch (...) {
        localplatform::failJob(jobId);
        throw;
    }
    localplatform::crashPoint("manifest saved");
    try {
        localplatform::completeJob(jobId);
    } catch (const localplatform::StoreError& error) {
        // A manifest of a job that is not complete must not pass for one.
        if (!path.empty()) ::unlink(path.c_str());
        localplatform::failJob(jobId);
        throw jobFailed(std::string("cannot mark the job complete: ") + error.what());
    }
}
