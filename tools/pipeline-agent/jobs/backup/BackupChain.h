#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "jobs/backup/BackupJob.h"
#include "jobs/backup/BackupSet.h"
#include "manifest/Manifest.h"
#include "platform/local/Jobs.h"

class ClusterBackup;

// Where a differential or incremental backup starts from: the job it is
// compared with, held against deletion with every job that holds data it
// refers to, for as long as this lives.
struct ChainStart {
    ManifestChain chain;              // what the new job's manifest records
    std::optional<Manifest> reference;  // the job compared with; none for a full
    std::vector<std::unique_ptr<localplatform::JobReadHold>> holds;
};

// The longest chain: a backup that would lie more jobs than this past its
// full is taken as a full.
constexpr unsigned long kLongestChain = 64;

// The set's name when --set gives none: a native PostgreSQL backup's is its
// cluster's ("postgres cluster 7301234567890123456"); any other set's is
// what it was asked to back up, each input's absolute path in order and a
// stream input's name ("/srv/db.sqlite, /srv/files, stream dump.sql").
std::string defaultSetName(const BackupOptions& options, const ClusterBackup* cluster);

// Chooses what backup `type` of set `set` is compared with, in the open
// store: for a diff the newest complete full of the set, for an incr its
// newest complete job of any kind. Takes a full instead, saying why in one
// line, when there is none, when it was encrypted and this backup is not
// (or the other way round), when the chain would grow past kLongestChain,
// or when a job it needs is being deleted. A full is compared with nothing.
// Throws AgentError (failed job) when the store cannot be read. The job's
// thread.
ChainStart startChain(BackupType type, const std::string& set, bool encrypted);

// Whether the file `input` is what `recorded` says it was when a backup
// read it: the same size, mode, modification and change times and inode,
// and with verifyContent the same SHA-256, read now. Throws AgentError as
// reading a file does.
bool sameFile(const InputFile& input, const ManifestFile& recorded, bool verifyContent);

// Marks each file of the set that is unchanged since `reference` (the same
// name, size, mode, modification and change times and inode, and with
// verifyContent the same SHA-256, read now) as referring to its entry
// there, and numbers the rest as the streams read them. A SQLite database
// backed up through a snapshot is never unchanged. Says how many files are
// unchanged. Throws AgentError as reading a file does. The job's thread.
void markUnchanged(BackupSet& set, const Manifest& reference, bool verifyContent,
                   bool snapshots);

// The entry of a file that refers to `unchanged` (reference's), as
// `current` (the new job's own record of the file: name, mode, times) with
// the data of the job that holds it (or, of a file in pieces, of each job
// that holds a piece of it) and its blocks; adds those jobs to manifest's
// references when they are not among them yet.
ManifestFile referringEntry(ManifestFile current, const ManifestFile& unchanged,
                            const Manifest& reference, Manifest& manifest);

// Adds job `holder` (reference itself, or one of the jobs it refers to) to
// manifest's references, with its archive files and stages, unless it is
// among them already.
void referTo(unsigned long long holder, const Manifest& reference, Manifest& manifest);
