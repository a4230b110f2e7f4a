#pragma once

#include <string>
#include <vector>

#include "platform/local/ArchiveFiles.h"
#include "archive/WalArchive.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "maintenance/StoredChains.h"

// Deleting complete jobs on purpose, as delete and expire do: what would go,
// and the deletion through the platform's crash-safe path (deleteJobs).

// What deleting a job removes, as the open store lists it.
struct PlannedDeletion {
    unsigned long long jobId = 0;
    std::string state;  // "complete", "damaged" or "deleting"
    std::string createdAt;
    std::vector<localplatform::ArchiveFileRecord> files;
    unsigned long long bytes = 0;
};

// The plan for deleting jobIds (duplicates once) from the listing jobs.
// Throws AgentError (bad input) naming the first job that may not be
// deleted: one the store does not have, one running (live or crashed), or
// failed, which are cleanup's.
std::vector<PlannedDeletion> planDeletion(const std::vector<unsigned long long>& jobIds,
                                          const std::vector<localplatform::JobRecord>& jobs);

// Why deleting the jobs `deleting` would take WAL that a base backup left
// in the store still needs: one line naming the first WAL job among them
// with a file the base backups that stay need (as expire decides it:
// WalCoverage::neededFrom their start segments; a timeline history file is
// always needed), the file and a base backup that needs it; empty when
// none does, or no base backup stays. A base backup deleted takes nothing
// else with it: the WAL only it needed goes at the next expire. Pure.
std::string neededWalRefusal(const WalArchive& archive,
                             const std::vector<unsigned long long>& deleting);

// Throws AgentError (bad input, neededWalRefusal's line) when deleting the
// jobs would take WAL that a base backup staying in the open store needs.
// Reads every complete job's manifest; one that cannot be read is passed
// over (check names it).
void refuseDeletingNeededWal(const std::vector<unsigned long long>& deleting);

// Throws AgentError (bad input, referredJobRefusal's line) when a job that
// stays in the open store (complete or damaged in jobs, and not among
// deleting) refers to one of deleting: delete refuses it before anything
// is deleted, naming the jobs that refer to it. chains: the store's, read
// for jobs. Reads nothing of the store.
void refuseDeletingReferredJobs(const std::vector<unsigned long long>& deleting,
                                const std::vector<localplatform::JobRecord>& jobs,
                                const StoredChains& chains);

// Prints on stdout, for each planned job, a line with its archive files and
// bytes, and what else of it goes, each line starting with `lead` ("would
// delete" or "deleting").
void printPlan(const std::vector<PlannedDeletion>& plan, const char* lead);

// Deletes the planned jobs from the open store and, with print, prints a
// line for each job deleted, deleted by another command since the plan was
// listed (counted done), or, with skipInUse, skipped as in use; returns the
// archive files and bytes removed and the jobs skipped. The jobs go in
// referrersFirst's order (chains: the store's when the plan was made), and
// each batch is looked at again under its locks (ReferenceGuard): a job
// that stays and refers to one of them refuses the batch before anything of
// it changes. Throws AgentError: bad input for a job the platform refuses
// (see planDeletion) or that such a job refers to (the batches before it
// stay deleted), a failed job when a job is in use (named; unless
// skipInUse) or the deletion fails (the jobs it marked are left deleting,
// for cleanup). beforeDeleting: for tests, a command run with /bin/sh, and
// waited for, before the deletion.
localplatform::DeletionResult runDeletion(const std::vector<PlannedDeletion>& plan,
                                          const StoredChains& chains,
                                          const localplatform::Config& config, bool print = true,
                                          bool skipInUse = false,
                                          const std::string& beforeDeleting = "");
