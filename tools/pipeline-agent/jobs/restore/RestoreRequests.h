#pragma once

#include "jobs/restore/RestoreTarget.h"
#include "manifest/Manifest.h"
#include "platform/local/Config.h"
#include "report/JobReport.h"
#include "stages/JobStages.h"

// Reads everything target writes over one restore object (job jobId): for
// each of its requests in turn, sets the request up (the first opens the
// archive files, every later one that names the same files only seeks) and
// has the target read it; then closes the streams and ends the report's
// phases (report.end()). A request that cannot be set up fails the job with
// why: an archive file the store lacks or cannot give (store damage, see
// requireRestorableArchives), or else which request failed. The restore
// ends on the media side however this ends. Runs on the job's thread.
// Throws AgentError; a close that fails is only said.
// A request whose first file another job holds (format 5) reads that job's
// archive files, with its stages: stages[0] are the manifest's own job's,
// stages[1 + i] its reference i's (null: stored as they are).
void readRequests(RestoreTarget& target, unsigned long long jobId, const Manifest& manifest,
                  const localplatform::Config& config, JobReport& report,
                  const std::vector<std::optional<JobStages>>& stages);
