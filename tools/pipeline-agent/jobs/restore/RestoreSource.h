#pragma once

#include <memory>

#include "jobs/restore/RestoreJob.h"
#include "manifest/Manifest.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"

// Which manifest a restore restores. With options.job, the store's copy of
// that job's manifest: the store is opened here, read-only, with config (its
// log named), the job must be complete and its copy there; options.manifest,
// when also given, must be the same manifest; options.manifest is set to the
// copy's path when it was not given. Without it, the manifest at
// options.manifest. Throws AgentError: bad input for a job the store does
// not have complete or a manifest that disagrees, a failed job when the
// store cannot be read.
Manifest manifestToRestore(RestoreOptions& options, const localplatform::Config& config);

// The store's side of a restore, once its outputs are checked and before
// anything is made: opens the store read-only with config (once per command:
// a store manifestToRestore opened stays open), and for a manifest the user
// gave alone (givenAlone, read from path) refuses a job the store does not
// have complete and a manifest that disagrees with the store's copy of its
// job (says so and goes on when the store keeps none: a backup by an older
// agent). Then holds the job for the restore's whole duration, so that no
// deletion of it begins meanwhile, and requires the data of what is read:
// for a damaged job each part of `needed` whole, otherwise every archive
// file of the manifest present. A job of format 5 holds every job it refers
// to as well, each of which must be complete with its archive files' data
// present. Returns the holds. Throws AgentError: bad input for what the
// user can put right, a failed job for store damage, a job being deleted or
// held by another command.
std::vector<std::unique_ptr<localplatform::JobReadHold>> openJobForRestore(
    const Manifest& manifest, const std::vector<const ManifestFile*>& needed, bool givenAlone,
    const std::string& path, const localplatform::Config& config);
