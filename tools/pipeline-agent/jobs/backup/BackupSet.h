#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inputs/InputFile.h"
#include "inputs/TreeWalk.h"
#include "jobs/backup/BackupJob.h"
#include "jobs/backup/ClusterBackup.h"
#include "manifest/Manifest.h"

struct BlockChanges;

// One entry of the set as the manifest records it, in order: a file named
// directly, or what a tree holds.
struct SetEntry {
    ManifestFile::Kind kind = ManifestFile::Kind::File;
    std::string name;
    int mode = 0;
    int64_t mtime = 0;
    std::string target;            // a link's
    std::size_t named = SIZE_MAX;  // a file named directly: its index in files
    std::size_t tree = SIZE_MAX;   // a file of a tree: its index in the tree files
    std::size_t read = SIZE_MAX;   // a file: its index among what the streams read
    // A file unchanged since the job this one is compared with: that job's
    // entry for it, whose data this job refers to; nothing is read of it.
    const ManifestFile* unchanged = nullptr;
    // A file that changed, compared block by block with that job's entry:
    // what the first read of it found, and the blocks the streams read
    // again and store (BlockChanges.h); null for a file read whole.
    std::shared_ptr<const BlockChanges> blocks;
};

// The set a backup was asked for, checked: its entries in order, and the
// files it reads. The files named directly are open from here on; a tree's
// files are opened only as their turn comes, so that a tree of any number
// of files can be read.
struct BackupSet {
    std::string store;                  // the store as configured, not opened
    std::vector<SetEntry> entries;      // what the manifest records, in order
    std::vector<std::string> files;     // the files named directly
    std::vector<TreeEntry> treeFiles;   // the files the trees hold
    std::size_t trees = 0;              // how many inputs are trees
    std::size_t fileCount = 0;          // entries that are files: what the streams read
    std::vector<std::unique_ptr<InputFile>> inputs;      // [named]: each file named directly
    std::vector<std::unique_ptr<InputFile>> treeInputs;  // [tree]: each file of a tree
};

// Checks what a backup is asked to do before anything is made, and finds
// its set: the stream count, that there is an input, each file named
// directly readable and its name recordable, each tree walked (other kinds
// of entry skipped with a line; the store, when it lies inside a tree, left
// out), the inputs' names distinct, the stream input's source, and that the
// manifest and trace are new places outside the store (`store`, as
// configured; it need not exist) and not one place. A SQLite database's
// -wal, -journal or -shm among the files is refused unless options.raw: its
// snapshot holds what they held. Throws AgentError (bad input) with one line
// for the first thing wrong; leaves nothing behind but the lines of what a
// tree skipped. Owns the returned set's open files. The job's thread.
// With a cluster (a native PostgreSQL backup, started), its data directory
// is the set's first tree, walked and read live (ClusterBackup).
BackupSet checkBackupSet(const BackupOptions& options, const std::string& store,
                         ClusterBackup* cluster = nullptr);
