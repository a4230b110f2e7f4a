#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

// What a backup records of a directory tree: its directories (empty ones
// too), regular files and symbolic links, each as lstat found it; links are
// never followed. Other kinds of file (FIFOs, sockets, devices) are skipped.
struct TreeEntry {
    enum class Kind { File, Directory, Symlink };
    Kind kind = Kind::File;
    std::string path;    // where it is: the root as named, then the relative path
    std::string name;    // what the manifest records: the root's name, then the relative path
    struct stat status;  // lstat's, when the walk found it
    std::string target;  // a link's target, as readlink read it
};

// The name a tree named by path is recorded under: its base name, trailing
// slashes aside ("/var/lib/db/" is "db"); for ".", ".." and the like, the
// base name of the directory they resolve to. Throws AgentError (bad
// input) for the root directory "/", which has none.
std::string treeName(const std::string& path);

// What a walk leaves out beyond other kinds of file.
struct TreeWalkRules {
    // A directory that is the same as this one (device and inode), when
    // given, is skipped ("the archive store").
    const struct stat* exclude = nullptr;
    // When given, an entry below the root is walked only when keep says so,
    // given its path relative to the root and its kind; a directory left
    // out is not entered.
    std::function<bool(const std::string& relative, TreeEntry::Kind kind)> keep;
    // A tree that changes while it is walked (a live database cluster): an
    // entry removed between its directory's listing and its lstat is left
    // out, not an error.
    bool live = false;
    // When given, a kept link to a directory for which this says so is
    // recorded as that directory (with its mode), empty: not followed.
    std::function<bool(const std::string& relative)> takenEmpty;
};

// Walks the tree rooted at the directory `root`, depth first, each
// directory's entries in the byte order of their names, the directory
// before what it holds; the root itself comes first, recorded as
// treeName(root). Holds one directory open at a time, whatever the depth.
// Calls skipped(path, what) for each entry of another kind ("a FIFO").
// Throws AgentError (bad input) for a directory that cannot be read, a file
// that cannot be read, a link that cannot be read, or a name that is not
// valid UTF-8 (a manifest, JSON, cannot record it): found before any work.
// rules say what else is left out.
std::vector<TreeEntry> walkTree(
    const std::string& root,
    const std::function<void(const std::string& path, const char* what)>& skipped,
    const TreeWalkRules& rules = {});
