#pragma once

// Deleting complete jobs on purpose, finishing deletions a kill cut short,
// and marking jobs damaged. Internal to the local library.

#include <memory>
#include <vector>

#include "platform/local/Maintenance.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store;
class CatalogBackend;
class JobLiveness;

// See deleteJobs in LocalPlatform.h.
DeletionResult deleteStoreJobs(const std::shared_ptr<Store>& store,
                               const std::vector<unsigned long long>& jobIds,
                               const DeletionOptions& options);

// Finishes the deletion of every job marked deleting whose deleter is gone
// (cleanup's part), adding the jobs and the archive files removed to
// result; what cannot be removed is refused there, its job left deleting.
// Throws StoreError when the catalog cannot be used.
void finishDeletions(Store& store, CatalogBackend& catalog, JobLiveness& liveness,
                     CleanupResult* result);

// See markJobsDamaged in LocalPlatform.h.
void markStoreJobsDamaged(const std::shared_ptr<Store>& store,
                          const std::vector<unsigned long long>& jobIds);

}  // namespace localplatform

#pragma GCC visibility pop
