#pragma once

#include <vector>

#include "maintenance/StoredChains.h"

// The look a deletion takes, under the locks of the jobs it is about to mark
// deleting, for a job that stays and refers to one of them
// (localplatform::DeletionOptions::beforeMarking).
//
// Why under the locks: a backup that is compared with a job holds it, and
// every job it refers to, with holdJobForReading (a shared lock, then a look
// at the job's state) from before it reads anything until after it is
// complete, and takes a full instead when a hold fails or finds the job no
// longer complete. A deletion takes each job's lock exclusively, without
// waiting, before it marks the job deleting. The two locks exclude each
// other, so one of them comes first:
// - the backup's hold: the deletion cannot lock the job until the backup has
//   ended; if it completed, it is complete when the deletion looks, under
//   the lock, and its manifest (kept in the store before it is marked
//   complete) names the job, so the deletion is refused;
// - the deletion's lock: the backup's hold fails, or finds the job deleting
//   or gone, and the backup takes a full.
// A look before the locks (as delete's plan takes) cannot see a backup that
// completes between the look and the lock; this one can, so the two cannot
// both win.
class ReferenceGuard {
public:
    // chains: what the plan read, every job complete then; it grows by the
    // jobs completed since.
    explicit ReferenceGuard(StoredChains chains) : m_chains(std::move(chains)) {}

    // Throws AgentError (bad input, referredJobRefusal's line) when a job
    // that stays (complete or damaged, and not among locked) refers to one of
    // locked. Lists the store's jobs and reads the manifests of jobs complete
    // since the plan. The deleting thread, while the locks are held.
    void requireNoneReferred(const std::vector<unsigned long long>& locked);

private:
    StoredChains m_chains;
};
