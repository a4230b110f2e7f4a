#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "inputs/PipeInput.h"
#include "keys/JobKeys.h"
#include "manifest/ChainRecords.h"
#include "manifest/ClusterRecords.h"
#include "stages/CodecOption.h"
#include "report/JsonReport.h"
#include "platform/local/Config.h"

struct BackupOptions {
    std::vector<std::string> inputs;  // the files of the set, in order
    // Where the manifest goes; must not exist. Empty: the store's copy is
    // the only one (a PostgreSQL backup, archived WAL).
    std::string manifest;
    unsigned long streams = 3;        // 1..65
    unsigned long long jobId = 0;     // 0: a new id
    unsigned long long resume = 0;    // a killed backup of files to go on with (BackupResume)
    unsigned long failStream = 0;     // rehearse a failed write on this stream
    std::string trace;                // where the streams' timeline goes; empty: none
    PipeSource pipe;                // a stream input after the files, if any
    bool raw = false;                 // SQLite databases as plain bytes, not a snapshot
    std::string afterFirstChunk;      // testing: a command run after each file's first chunk
    // How long a SQLite snapshot waits for a writer's lock, in ms.
    unsigned long sqliteBusyWaitMs = 30000;
    // How often, in ms, a backup of files records what it wrote so far.
    unsigned long recordEveryMs = 5000;
    CodecChoice compress;             // none: stored as read, unless encrypted
    bool encrypt = false;             // seal every frame under a data key of the job's own
    KeySource key;                    // with encrypt
    bool lowestKdf = false;           // testing: Argon2id's lowest cost for a new passphrase
    // A running PostgreSQL cluster's connection string: a native base
    // backup of it (ClusterBackup), its data directory the set's one tree.
    std::string postgres;
    bool allowBadPages = false;       // a page that fails its checksum is named, not fatal
    bool withWal = false;             // the base backup's WAL in the job itself
    // How long a base backup waits for the archive to hold the WAL it needs.
    std::chrono::milliseconds walWait{std::chrono::minutes(5)};
    std::optional<ManifestWal> wal;   // the inputs are WAL files that wal-push archives
    // Full, or only what changed since the set's newest full (diff) or
    // newest job (incr); set names the set across its jobs (empty: its
    // default, defaultSetName). verifyUnchanged: a file that looks unchanged
    // is read and its digest compared too.
    BackupType type = BackupType::Full;
    std::string set;
    bool verifyUnchanged = false;
    uint64_t rateLimit = 0;           // bytes a second, every stream together; 0: none
};

// Backs the inputs up as one set, in one job over the streams, into the
// store that config names (made when absent): each stream's archive file
// holds that stream's part of each input in turn; a stream input, last,
// is read to its end and striped over the streams (see BackupStreams), and
// a producer that fails fails the job. An input that is a SQLite database is
// backed up from a consistent snapshot of it (SqliteSnapshot) made in the
// store's tmp/ and removed when the job ends, unless raw; any other input
// that changed while it was read fails the job. Writes the manifest and
// only then marks the job complete. A job id the store knows is refused
// before anything is made. On a failure or a signal after the streams were
// set up, has the job's archive files invalidated and marks the job failed.
// Adds to json what --json shows: the job and its store as soon as they
// are known, the files and archive files at the end. Shows its progress
// (see JobReport); with a trace path, writes the streams' timeline there at
// the end, of a failed job too. With compression or encryption, every part
// goes through stages (BackupStreams::useStages) and the manifest is of
// format 4; an encrypted job's key is read and checked (readUserKey) before
// the store is opened or made, and against the store's key check before the
// job begins. A diff or incr job records the files unchanged since the job
// it is compared with (BackupChain) as references to the jobs that hold
// their data, reads only the others, and holds those jobs against deletion
// until it is complete; its manifest is then of format 5. A backup of files
// into a store in a directory records what its streams wrote as it goes
// (ResumeRecord); with options.resume it goes on with that job, killed,
// instead of beginning one (BackupResume). Throws AgentError.
void runBackup(const BackupOptions& options, localplatform::Config config, JsonReport& json);
