#pragma once

// One look at a store: its catalog against its archive files, their
// descriptions and the jobs' completion markers, each problem with the
// command that helps with it. Internal to the local library.

#include <map>
#include <string>

#include "platform/local/Maintenance.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store;

namespace audit {

class Scan;

// The catalog is read first, in one view; the files and markers are listed
// after it, so that whatever a job at work adds meanwhile is at most
// something the view lacks, which settle() looks at again.
// *unmarked (when given): the jobs that a catalog whose own check passed has
// complete, all of whose files are described, without a completion marker;
// with the time the catalog completed them.
CheckResult examine(const Store& store, Scan& scan,
                    std::map<unsigned long long, std::string>* unmarked = nullptr);

}  // namespace audit

}  // namespace localplatform

#pragma GCC visibility pop
