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

// A set entry's record without its data: a directory or link as walked, a
// file's name, mode and time as the set found it. Any thread.
ManifestFile entryAsWalked(const SetEntry& entry);

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

// What the streams wrote of a set of files so far, for its record
// (ResumeRecord): manifest (its archive files set) with the entries of the
// set from the first up to the first file that is not among the `written`
// files the streams wrote whole (filesWritten), recorded as recordSet
// records them. Only for a set read whole, without a stream input or a job
// compared with. Reads streams on the job's thread.
Manifest manifestSoFar(const Manifest& manifest, const BackupSet& set,
                       const std::vector<const InputFile*>& read, const BackupStreams& streams,
                       std::size_t written);
