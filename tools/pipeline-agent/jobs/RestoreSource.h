#pragma once

#include <memory>

#include "jobs/RestoreJob.h"
#include "manifest/Manifest.h"
#include "platform/local/LocalPlatform.h"

// Which manifest a restore restores. With options.job, the store's copy of
// that job's manifest: the store is opened here, read-only, with config (its
// log named), the job must be complete and its copy there; options.manifest,
// when also given, must be the same manifest; options.manifest is set to the
// copy's path when it was not given. Without it, the manifest at
// options.manifest. Throws AgentError: bad input for a job the store does
// not have complete or a manifest that disagrees, a failed job when the
// store cannot be read.
Manifest manifestToRestore(RestoreOptions& options, const localplatform::Config& config);

// Once the store is open: a manifest the user gave (at path) must agree with
// the store's copy of its job. Says so when the store keeps none (a backup
// by an older agent), and goes on. Throws AgentError (bad input) when they
// disagree.
void checkAgainstStoredCopy(const Manifest& manifest, const std::string& path);

// Once the store is open: the restore's hold on the job it reads, for its
// whole duration, so that no deletion of the job begins meanwhile. Throws
// AgentError (failed job, one line) when the job is being deleted or
// another command holds it.
std::unique_ptr<localplatform::JobReadHold> holdJobForRestore(unsigned long long jobId,
                                                              const localplatform::Config& config);
