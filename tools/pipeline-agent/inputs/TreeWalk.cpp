#include "inputs/TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/AgentError.h"
#include "base/RelativePath.h"

namespace {

const char* otherKind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "of an unknown kind";
}

void requireRecordable(const std::string& name, const std::string& path) {
    if (!validUtf8(name)) {
        throw badInput("input " + printablePath(path) +
                       ": its name is not valid UTF-8, which a manifest cannot record; rename "
                       "it or leave its tree out");
    }
}

// The names in directory path, sorted; none held open afterwards.
std::vector<std::string> namesIn(const std::string& path) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir) {
        throw badInput("cannot read directory " + printablePath(path) + ": " +
                       std::strerror(errno));
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
    }
    if (errno != 0) {
        throw badInput("cannot read directory " + printablePath(path) + ": " +
                       std::strerror(errno));
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Walk {
public:
    Walk(std::vector<TreeEntry>& entries,
         const std::function<void(const std::string&, const char*)>& skipped,
         const TreeWalkRules& rules, std::size_t rootLength)
        : m_entries(entries),
          m_skipped(skipped),
          m_exclude(rules.exclude),
          m_rules(rules),
          m_rootLength(rootLength) {}

    // Adds the entry at path (recorded as name) and, for a directory,
    // everything below it.
    void add(const std::string& path, const std::string& name) {
        TreeEntry entry;
        entry.path = path;
        entry.name = name;
        if (::lstat(path.c_str(), &entry.status) != 0) {
            if (m_rules.live && errno == ENOENT) return;  // gone since it was listed
            throw badInput("cannot look at input " + printablePath(path) + ": " +
                           std::strerror(errno));
        }
        const mode_t mode = entry.status.st_mode;
        if (m_rules.keep) {
            const std::string relative = name.substr(std::min(name.size(), m_rootLength + 1));
            const TreeEntry::Kind kind = S_ISDIR(mode)   ? TreeEntry::Kind::Directory
                                         : S_ISLNK(mode) ? TreeEntry::Kind::Symlink
                                                         : TreeEntry::Kind::File;
            if (!m_rules.keep(relative, kind)) return;
            if (m_rules.takenEmpty && kind == TreeEntry::Kind::Symlink && m_rules.takenEmpty(relative)) {
                struct stat led;
                if (::stat(path.c_str(), &led) != 0 || !S_ISDIR(led.st_mode)) {
                    throw badInput("input " + printablePath(path) + " is not a directory");
                }
                entry.kind = TreeEntry::Kind::Directory;
                entry.status = led;
                m_entries.push_back(std::move(entry));
                return;
            }
        }
        if (S_ISREG(mode)) {
            if (::access(path.c_str(), R_OK) != 0) {
                throw badInput("cannot read input " + printablePath(path) + ": " +
                               std::strerror(errno));
            }
            entry.kind = TreeEntry::Kind::File;
            m_entries.push_back(std::move(entry));
        } else if (S_ISLNK(mode)) {
            entry.kind = TreeEntry::Kind::Symlink;
            std::string target(static_cast<std::size_t>(entry.status.st_size) + 1, '\0');
            for (;;) {
                const ssize_t got = ::readlink(path.c_str(), target.data(), target.size());
                if (got < 0) {
                    throw badInput("cannot read the link " + printablePath(path) + ": " +
                                   std::strerror(errno));
                }
                if (static_cast<std::size_t>(got) < target.size()) {
                    target.resize(static_cast<std::size_t>(got));
                    break;
                }
                target.resize(target.size() * 2);  // it grew since lstat
            }
            if (!validUtf8(target)) {
                throw badInput("input " + printablePath(path) +
                               ": the link's target is not valid UTF-8, which a manifest cannot "
                               "record");
            }
            entry.target = target;
            m_entries.push_back(std::move(entry));
        } else if (S_ISDIR(mode) && m_exclude && entry.status.st_dev == m_exclude->st_dev &&
                   entry.status.st_ino == m_exclude->st_ino) {
            m_skipped(path, "the archive store");
        } else if (S_ISDIR(mode)) {
            entry.kind = TreeEntry::Kind::Directory;
            m_entries.push_back(std::move(entry));
            for (const std::string& child : namesIn(path)) {
                const std::string childPath = path + "/" + child;
                requireRecordable(child, childPath);
                add(childPath, name + "/" + child);
            }
        } else {
            m_skipped(path, otherKind(mode));
        }
    }

private:
    std::vector<TreeEntry>& m_entries;
    const std::function<void(const std::string&, const char*)>& m_skipped;
    const struct stat* m_exclude;
    const TreeWalkRules& m_rules;
    std::size_t m_rootLength;  // of the root's recorded name
};

}  // namespace

std::string treeName(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::string name = lastPart(trimmed);
    if (name.empty() || name == "." || name == "..") {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) == nullptr) {
            throw badInput("cannot resolve input " + printablePath(path) + ": " +
                           std::strerror(errno));
        }
        name = lastPart(resolved);
    }
    if (name.empty() || name == "/") {
        throw badInput("input " + path + " is the root directory, which has no name to record");
    }
    return name;
}

std::vector<TreeEntry> walkTree(
    const std::string& root,
    const std::function<void(const std::string& path, const char* what)>& skipped,
    const TreeWalkRules& rules) {
    const struct stat* exclude = rules.exclude;
    const std::string name = treeName(root);
    requireRecordable(name, root);
    std::string start = root;
    while (start.size() > 1 && start.back() == '/') start.pop_back();
    std::vector<TreeEntry> entries;
    Walk walk(entries, skipped, rules, name.size());
    // The root is named on the command line: a link to a directory is
    // followed there, and only there.
    struct stat status;
    if (::stat(start.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        throw badInput("input " + printablePath(root) + " is not a directory");
    }
    if (exclude && status.st_dev == exclude->st_dev && status.st_ino == exclude->st_ino) {
        throw badInput("input " + printablePath(root) + " is the archive store");
    }
    TreeEntry top;
    top.kind = TreeEntry::Kind::Directory;
    top.path = start;
    top.name = name;
    top.status = status;
    entries.push_back(std::move(top));
    for (const std::string& child : namesIn(start)) {
        const std::string childPath = (start == "/" ? "" : start) + "/" + child;
        requireRecordable(child, childPath);
        walk.add(childPath, name + "/" + child);
    }
    return entries;
}
