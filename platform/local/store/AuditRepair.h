#pragma once

// What check --repair writes: the completion markers a catalog still knows
// of, and a catalog rebuilt from the files' descriptions and the jobs'
// completion markers. Internal to the local library.

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store;

namespace audit {

class Scan;

// From files/ and jobs/ alone: a job with a completion marker is complete,
// any other failed (no job runs: repair refuses otherwise); a file is closed
// when its data matches the closing line of its description, invalidated
// when it does not, and "writing" without a closing line.
void rebuildFromFiles(const Store& store, Scan& scan, std::vector<std::string>* repaired);

// Writes the completion markers of jobs that the catalog has complete and
// that lost theirs (jobs/ replaced, say), so that a catalog rebuilt from the
// markers keeps them complete: as completeJob writes them, the manifest
// kept when the store still has it. Returns how many it wrote; throws
// StoreError when one cannot be written, before anything is rebuilt.
std::size_t remakeMarkers(const Store& store,
                          const std::map<unsigned long long, std::string>& unmarked,
                          std::vector<std::string>* repaired);

}  // namespace audit

}  // namespace localplatform

#pragma GCC visibility pop
