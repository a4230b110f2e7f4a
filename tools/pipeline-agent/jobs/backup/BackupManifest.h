#pragma once

#include <cstdint>
#include <vector>

#include "inputs/InputFile.h"
#include "inputs/PipeInput.h"
#include "jobs/backup/BackupKeys.h"
#include "jobs/backup/BackupSet.h"
#include "manifest/Manifest.h"
#include "streams/BackupStreams.h"

// The manifest of job jobId, created now, before anything is written: its
// format is 3 when the set holds a tree or a stream input, 4 (with the
// stages and the wrapped data key) when its bytes go through stages, else
// the default. No archive files and no files yet. Any thread.
Manifest newManifest(unsigned long long jobId, bool treeOrStreamInput, const BackupKeys& keys);

// Records the set's entries in manifest, in order, once the streams wrote
// and closed its archive files (manifest.archives): a directory or link as
// walked; a file with its mode and time as it was opened, its size and
// digest as read (`read`: what the streams read, in order) and each
// stream's share of it, or, unchanged since `reference`, the shares of the
// job that holds its data (the manifest then of format 5, with that job
// among its references); then the stream input, if any. Returns the stream
// input's bytes (0 without one). Reads streams on the job's thread.
uint64_t recordSet(Manifest& manifest, const BackupSet& set,
                   const std::vector<const InputFile*>& read, const BackupStreams& streams,
                   const PipeInput* pipe, const Manifest* reference);
