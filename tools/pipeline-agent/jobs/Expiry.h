#pragma once

#include <optional>
#include <string>
#include <vector>

#include "jobs/Retention.h"
#include "platform/local/LocalPlatform.h"

// Expiring a store's complete jobs by a retention policy, and the policy a
// store keeps for `backup --expire`.

// Applies policy to the complete jobs of the open store: with table, prints
// each job's decision (keep, with the rules, or remove) on stdout; unless
// dryRun, deletes the jobs it removes (runDeletion, printing a line for each
// when table is set). Says a summary unless -q. Returns the jobs deleted (or
// that a dry run would delete). Throws AgentError.
std::vector<unsigned long long> expireJobs(const RetentionPolicy& policy, bool dryRun, bool table,
                                           const localplatform::Config& config);

// The policy as `expire` options ("--keep-last 7 --keep-daily 30").
std::string describePolicy(const RetentionPolicy& policy);

// Keeps policy as the open store's, in <store>/retention.ini, written whole
// beside it and renamed into place (the one before replaced). Throws
// AgentError (failed job) when it cannot be written.
void savePolicy(const RetentionPolicy& policy);

// The policy kept in storeDir/retention.ini; nullopt when the store keeps
// none. Throws AgentError (bad input) for a file that does not read as one.
std::optional<RetentionPolicy> storedPolicy(const std::string& storeDir);
