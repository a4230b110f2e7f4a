#include "platform/local/FileModes.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/local/LocalPlatform.h"

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

bool applyFileModes(int fd, bool directory, const FileModes& modes) {
    if (modes.group != static_cast<gid_t>(-1) &&
        ::fchown(fd, static_cast<uid_t>(-1), modes.group) != 0) {
        return false;
    }
    return ::fchmod(fd, directory ? modes.directory : modes.file) == 0;
}

bool makeStoreDirectory(const std::string& path, const FileModes& modes) {
    if (::mkdir(path.c_str(), modes.directory) != 0) return errno == EEXIST;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool applied = fd >= 0 && applyFileModes(fd, true, modes);
    const int saved = errno;
    if (fd >= 0) ::close(fd);
    if (!applied) {
        ::rmdir(path.c_str());
        errno = saved;
    }
    return applied;
}

}  // namespace localplatform
