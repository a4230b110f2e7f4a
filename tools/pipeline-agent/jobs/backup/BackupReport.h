#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "jobs/backup/BackupJob.h"
#include "jobs/backup/BackupSet.h"
#include "manifest/Manifest.h"
#include "stages/JobStages.h"

// What the backup's first line says it backs up: "PATH (N bytes)" or
// "K files (N bytes)" for files named directly, "PATH: F files (N bytes)" or
// "K inputs: F files (N bytes)" when a tree is among them (F: the files the
// streams read, N: their bytes), "F of K files (N bytes)" when an
// incremental backup reads only F of the K files named, and "... and NAME (standard input)" or
// "... and NAME (the producer's output)" with a stream input (just
// "NAME (...)" when it is the whole set). Any thread.
std::string describeSet(const BackupOptions& options, const BackupSet& set,
                        std::size_t filesRead, uint64_t bytes);

// Says what the job backs up (`what`, describeSet's), over how many
// streams, as which job, into which store; then how the streams are set
// up. The job's thread.
void sayBackupStarts(const std::string& what, unsigned long streams, unsigned long long jobId,
                     const std::string& store);

// Says the backup is complete: its manifest, its bytes, how long it took
// and at what rate; with stages, also what the archive files hold in all
// (written: each stream's bytes), the codec and whether it is encrypted.
// The job's thread.
void sayBackupComplete(const std::string& manifestPath, uint64_t bytes, double seconds,
                       const std::optional<JobStages>& stages,
                       const std::vector<uint64_t>& written);

// What --json adds for a complete backup, in this order: "files" (each
// entry of the manifest: a directory's name, kind and mode, a link's name,
// kind and target, a file's name, size, mode and sha256), "bytes",
// "seconds" (to the ms), "archiveFiles" (each stream's archive file and its
// size, written[stream-1]); with stages "storedBytes", "compress" and
// "encrypted"; with SQLite snapshots, "sqliteSnapshots". Any thread.
nlohmann::ordered_json backupResultJson(const Manifest& manifest, uint64_t bytes, double seconds,
                                        const std::optional<JobStages>& stages,
                                        const std::vector<uint64_t>& written,
                                        const nlohmann::ordered_json& snapshots);
