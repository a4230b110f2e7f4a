#pragma once

#include <optional>
#include <string>
#include <vector>

#include "maintenance/Retention.h"
#include "platform/local/Config.h"

// Expiring a store's complete jobs by a retention policy, and the policy a
// store keeps for `backup --expire`.

// What an expiry did.
struct Expiry {
    std::vector<unsigned long long> deleted;  // or that a dry run would delete
    std::vector<unsigned long long> skipped;  // in use, left whole
};

// Applies policy to the complete jobs of the open store: with table, prints
// each job's decision (keep, with the rules, or remove) on stdout; unless
// dryRun, deletes the jobs it removes (runDeletion, printing a line for each
// when table is set), but for those in use, which it skips, and those
// another command deleted meanwhile. A job the rules remove that a job
// staying refers to (keepReferred) is kept "by reference", with its
// keepingLine after the table, in a dry run as in a real one. Says a
// summary unless -q. Throws AgentError. beforeDeleting: for tests,
// runDeletion's command between the plan and the deletion.
Expiry expireJobs(const RetentionPolicy& policy, bool dryRun, bool table,
                  const localplatform::Config& config, const std::string& beforeDeleting = "");

// "skipped 1 job in use (7); deleted 2 jobs": for an expiry that skipped jobs.
std::string skippedJobs(const Expiry& expiry);

// The policy as `expire` options ("--keep-last 7 --keep-daily 30").
std::string describePolicy(const RetentionPolicy& policy);

// Keeps policy as the open store's, in its retention.ini, replaced whole (a
// reader finds the policy before or this one). Throws AgentError (failed
// job) when it cannot be written; the policy before then stays.
void savePolicy(const RetentionPolicy& policy);

// The policy kept in the open store's retention.ini; nullopt when the store
// keeps none. Throws AgentError (bad input) for a file that cannot be read
// or does not read as one.
std::optional<RetentionPolicy> storedPolicy();

// The policy that the store config names keeps, looked at before any work:
// the store opened read-only and closed again. nullopt when there is no
// store there yet or it keeps no policy. Throws AgentError (bad input) when
// the store cannot be opened or the policy read.
std::optional<RetentionPolicy> storedPolicy(const localplatform::Config& config);
