#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inputs/InputFile.h"
#include "jobs/backup/BackupSet.h"
#include "manifest/BlockPieces.h"
#include "manifest/Manifest.h"

// A file that changed since the job a backup is compared with, read once
// whole (the first pass) to compare it block by block with that job's
// record of it: the file's digest and its blocks' as that pass read them,
// and which blocks are kept (as pieces of the jobs that hold them) and
// which the streams read again and store.
struct BlockChanges {
    uint64_t blockSize = 0;
    std::string sha256;   // the whole file, as the first pass read it
    std::string digests;  // each block's, as the first pass read it
    BlockPlan plan;
    // The bytes the streams read again: the changed blocks'.
    uint64_t changedBytes() const;
};

// For each file of the set the streams read (`read`: what they read, in
// order) that changed since `reference`, and whose entry there records
// blocks of blockSize for a file of more than one block that it still is:
// reads it whole once, without showing its bytes to a live file's
// observer, and keeps what it found in its entry (SetEntry::blocks) when
// any block is kept; a file whose every block changed is read whole, as
// before. Says, when any file was compared, how many blocks of how many
// changed. Throws AgentError (failed job) when a file cannot be read, or
// changed while this read it (see InputFile::requireUnchanged). The job's
// thread.
void compareBlocks(BackupSet& set, const std::vector<const InputFile*>& read,
                   const Manifest& reference, uint64_t blockSize);

// The bytes the streams read of `read`: each file's size, or of a file
// compared block by block the changed blocks'.
uint64_t bytesToRead(const BackupSet& set, const std::vector<const InputFile*>& read);
