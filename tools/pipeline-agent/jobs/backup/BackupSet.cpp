#include "jobs/backup/BackupSet.h"

#include <sys/stat.h>

#include <set>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/InputRules.h"
#include "base/RelativePath.h"
#include "inputs/PipeInput.h"
#include "restore/RestorePipelineSetup.h"

namespace {

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isDirectoryInput(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int64_t mtimeOf(const struct stat& status) {
    return static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec;
}

void requireStreamsAndInputs(const BackupOptions& options, bool cluster) {
    constexpr unsigned long kMaxStreams = RestorePipelineSetup::kMaxStreams;
    if (options.streams < 1 || options.streams > kMaxStreams) {
        throw badInput("--streams must be from 1 to " + std::to_string(kMaxStreams) + ", not " +
                       std::to_string(options.streams));
    }
    if (options.inputs.empty() && !options.pipe.given() && !cluster) {
        throw badInput("name at least one file to back up");
    }
}

// Appends a file's entry; it is the next one the streams read.
void addFileEntry(BackupSet& set, SetEntry entry) {
    entry.read = set.fileCount++;
    set.entries.push_back(std::move(entry));
}

void skippedLine(const std::string& where, const char* what) {
    say("skipping %s: %s", printablePath(where).c_str(), what);
}

// Appends what a walk found, in its order.
void addWalked(BackupSet& set, std::vector<TreeEntry> walked) {
    ++set.trees;
    for (TreeEntry& found : walked) {
        SetEntry entry;
        entry.name = found.name;
        entry.mode = static_cast<int>(found.status.st_mode & 0777);
        entry.mtime = mtimeOf(found.status);
        if (found.kind == TreeEntry::Kind::Directory) {
            entry.kind = ManifestFile::Kind::Directory;
        } else if (found.kind == TreeEntry::Kind::Symlink) {
            entry.kind = ManifestFile::Kind::Symlink;
            entry.target = found.target;
        } else {
            entry.tree = set.treeFiles.size();
            set.treeFiles.push_back(std::move(found));
            addFileEntry(set, std::move(entry));
            continue;
        }
        set.entries.push_back(std::move(entry));
    }
}

// Appends what the tree at path holds (directories, files, links; other
// kinds skipped with a line), leaving out the store when it lies inside.
void addTree(BackupSet& set, const std::string& path, const TreeWalkRules& rules) {
    addWalked(set, walkTree(path, skippedLine, rules));
}

// The set's entries, in order: each file named directly, and each tree
// walked. Returns the names the inputs have.
std::set<std::string> walkInputs(const BackupOptions& options, BackupSet& set,
                                 const ClusterBackup* cluster) {
    std::set<std::string> names;
    // A store inside a tree changes while it is read: it is left out.
    struct stat storeStatus;
    const bool storeSeen = ::stat(set.store.c_str(), &storeStatus) == 0;
    if (cluster) {
        names.insert(treeName(cluster->dataDirectory()));
        addWalked(set, cluster->walk(skippedLine, storeSeen ? &storeStatus : nullptr));
    }
    for (const std::string& path : options.inputs) {
        const bool tree = isDirectoryInput(path);
        const std::string name = tree ? treeName(path) : baseName(path);
        if (!tree) {
            requireReadableFile(path, "input");
            requireRecordableName(name, path);
        }
        if (!names.insert(name).second) {
            throw badInput("two inputs are named " + printablePath(name) +
                           "; the files and trees of a set need distinct names");
        }
        if (tree) {
            TreeWalkRules rules;
            rules.exclude = storeSeen ? &storeStatus : nullptr;
            addTree(set, path, rules);
            continue;
        }
        SetEntry entry;
        entry.name = name;
        entry.named = set.files.size();
        set.files.push_back(path);
        addFileEntry(set, std::move(entry));
    }
    return names;
}

// Also in a store that this backup is about to make.
void requireOutputPlaces(const BackupOptions& options, const std::string& store) {
    if (!options.manifest.empty()) {
        requireNewFilePlace(options.manifest, "manifest", false);
        requireOutsideStores(options.manifest, "manifest", store);
    }
    if (!options.trace.empty()) {
        requireNewFilePlace(options.trace, "trace", false);
        requireOutsideStores(options.trace, "trace", store);
        if (samePlace(options.trace, options.manifest)) {
            throw badInput("the trace and the manifest cannot both be " + options.trace);
        }
    }
}

void openInputs(BackupSet& set, ClusterBackup* cluster) {
    for (const std::string& path : set.files) {
        set.inputs.push_back(std::make_unique<InputFile>(path));
    }
    for (const TreeEntry& file : set.treeFiles) {
        set.treeInputs.push_back(std::make_unique<InputFile>(file.path, file.status));
        // The cluster's data directory is the only tree of its set.
        if (cluster) {
            set.treeInputs.back()->readLive({});
            cluster->watch(*set.treeInputs.back(), file.name.substr(file.name.find('/') + 1));
        }
    }
}

// A database's snapshot holds what its -wal held; the -wal or journal
// restored beside it, from another moment, would be applied to it (a
// -wal) or roll it back (a hot journal) when it is next opened.
void refuseSqliteCompanions(const BackupOptions& options, const BackupSet& set) {
    for (std::size_t i = 0; i < set.inputs.size() && !options.raw; ++i) {
        if (!set.inputs[i]->sqliteDatabase()) continue;
        for (const char* suffix : {"-wal", "-journal", "-shm"}) {
            for (const std::string& other : set.files) {
                if (samePlace(other, set.files[i] + suffix)) {
                    throw badInput(other + " belongs to the SQLite database " + set.files[i] +
                                   ", which is backed up as a consistent snapshot of its own; "
                                   "leave " +
                                   other + " out, or give --raw");
                }
            }
        }
    }
}

}  // namespace

BackupSet checkBackupSet(const BackupOptions& options, const std::string& store,
                         ClusterBackup* cluster) {
    requireStreamsAndInputs(options, cluster != nullptr);
    BackupSet set;
    set.store = store;
    checkPipeSource(options.pipe, walkInputs(options, set, cluster));
    requireOutputPlaces(options, set.store);
    openInputs(set, cluster);
    refuseSqliteCompanions(options, set);
    return set;
}
