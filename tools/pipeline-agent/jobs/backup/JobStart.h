#pragma once

#include <string>

#include "platform/local/Config.h"
#include "report/JsonReport.h"

// Begins job config.jobId in the open store: a job id the store knows is
// refused (AgentError, through throwStoreError) before anything is made.
// From then on a signal cuts the library's pauses short, stops new archive
// files and ends a running producer, so that the setup fails fast and the
// job is invalidated. Adds to json the job, its store, its log, the
// manifest's path and the stream count. The job's thread.
// A job taken over (takenOver: resumeBackupJob took it) is not begun again.
void beginBackupJob(const localplatform::Config& config, const std::string& manifestPath,
                    unsigned long streams, JsonReport& json, bool takenOver = false);
