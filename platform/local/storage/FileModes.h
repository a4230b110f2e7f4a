#pragma once

// Who may read what a store holds: its owner alone (the default), or its
// owner and one group that the store was made to be shared with. Internal to
// the local library.

#include <sys/types.h>

#include <string>

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

struct FileModes {
    mode_t directory = 0700;
    mode_t file = 0600;
    // The group that may read the store; -1: none.
    gid_t group = static_cast<gid_t>(-1);
};

// The modes of a store shared with the group named group (0750 and 0640),
// or of a private one when group is empty. Throws StoreError (Unusable)
// naming a group the system does not know.
FileModes fileModesFor(const std::string& group);

}  // namespace localplatform

#pragma GCC visibility pop
