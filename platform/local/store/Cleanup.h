#pragma once

// Clearing a store of what jobs that did not complete left. Internal to the
// local library.

#include <memory>

#include "platform/local/Maintenance.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store;

// Settles every job of the store that is not complete and whose writer is
// gone: its files are removed, then its entries, and the job is marked
// failed; files that no catalog entry names are removed too. Throws
// StoreError on a read-only store or a catalog that cannot be used; what
// cannot be removed is refused in the result.
CleanupResult cleanupStore(const std::shared_ptr<Store>& store);

// Removes the files that a creation cut short left without a catalog entry
// and that their descriptions give to job jobId, whose lock the caller
// holds (a job taken over): in result.removed, or refused there.
CleanupResult removeUnenteredFilesOf(const Store& store, unsigned long long jobId);

}  // namespace localplatform

#pragma GCC visibility pop
