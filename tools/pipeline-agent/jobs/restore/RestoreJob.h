#pragma once

#include <string>

#include "keys/JobKeys.h"
#include "platform/local/Config.h"
#include "report/JsonReport.h"

struct RestoreOptions {
    std::string manifest;         // what a backup wrote; empty: the store's copy of job's
    unsigned long long job = 0;   // restore this job from the store's copy of its manifest
    std::string output;           // a directory for the set; a path for one file
    std::string file;             // restore only the file of this name; empty: all
    bool replace = false;         // overwrite existing outputs
    bool namedTemporary = false;  // testing: write hidden named files, not unnamed ones
    std::string trace;            // where the streams' timeline goes; empty: none
    KeySource key;                // an encrypted job's key
    uint64_t rateLimit = 0;       // bytes a second, every stream together; 0: none
};

// Restores the manifest's files over the backup's streams on one restore
// object, one request per file: the first request opens the archive files,
// every later one names the same files with the next file's offsets and only
// seeks. Into the directory `output` when it is one (each file by its
// recorded name); a set of one file, or the one named by `file`, may go to
// the path `output` instead. Every part's and every file's checksum is
// checked; the outputs appear, all of them, only after every file of the
// restore matched. The store is opened read-only; the job's log goes to the
// store's logs/<job id>.log when it can be written. Adds to json what
// --json shows: the job and its store once known, the outputs at the end; a
// signal prints json's failure document before the program ends. Shows
// its progress (see JobReport); with a trace path, writes the streams'
// timeline there at the end, of a failed restore too. Throws AgentError.
// With a job, the store's copy of its manifest is restored (and a manifest
// given too must agree with it); a manifest given alone is checked against
// the store's copy of its job when the store keeps one. A manifest of format
// 4 is read through its stages: each frame is verified (opened, for an
// encrypted job, with the data key that options.key unwraps, before any data
// is read) as it is decoded.
void runRestore(const RestoreOptions& asked, localplatform::Config config, JsonReport& json);

// Where restores record the hidden partial files that cleanup may remove:
// the open store's directory on this host (for a store in object storage,
// the local one beside its logs).
std::string partialOutputDirectory();
