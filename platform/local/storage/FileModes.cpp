#include "platform/local/storage/FileModes.h"

#include <grp.h>

#include <vector>

#include "platform/local/Config.h"

namespace localplatform {

FileModes fileModesFor(const std::string& group) {
    FileModes modes;
    if (group.empty()) return modes;
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    const int error = ::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error != 0 || found == nullptr) {
        throw StoreError(StoreError::Kind::Unusable,
                         "the group " + group + " that the store is shared with is not known here");
    }
    modes.directory = 0750;
    modes.file = 0640;
    modes.group = found->gr_gid;
    return modes;
}

}  // namespace localplatform
