#pragma once

// Verifying a store, and rebuilding its catalog. Internal to the local
// library.

#include <memory>

#include "platform/local/Maintenance.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store;

// Compares the catalog with the files and their descriptions; with repair,
// and problems found, rebuilds the catalog from the files' descriptions and
// the jobs' completion markers and looks again. Throws StoreError (repair on
// a read-only store, an interruption). limits bounds the data read for
// digests, and reports progress; a closed file left unread for the bound is
// named in the result's unverified and, in a repair, entered as its
// description says.
CheckResult auditStore(const std::shared_ptr<Store>& store, bool repair,
                       const CheckLimits& limits = {});

}  // namespace localplatform

#pragma GCC visibility pop
