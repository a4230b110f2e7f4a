#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "jobs/backup/BackupJob.h"
#include "jobs/backup/BackupKeys.h"
#include "jobs/backup/BackupSet.h"
#include "manifest/Manifest.h"
#include "platform/local/Config.h"
#include "report/JsonReport.h"

// `backup --resume JOB`: a backup of files that was killed goes on where it
// stopped, as the same job. What its streams wrote whole of the set's first
// entries, as its record on this host says (ResumeRecord), is kept where it
// lies once each share reads back with its digest and each file is unchanged
// since; the rest of the set is written over new streams after the job's own.

// What a resumed job keeps, and what it goes on with.
struct ResumedJob {
    // The job's manifest so far: its creation time, stages and chain, its
    // archive files (every stream it has), the set's first entries kept.
    Manifest kept;
    std::vector<uint64_t> archiveSizes;  // [stream-1]: the bytes each kept archive file holds
    uint64_t keptBytes = 0;              // the data bytes of the files kept
    BackupKeys keys;                     // the job's own stages, its data key opened

    // The job's streams before this run's.
    unsigned long streamsBefore() const {
        return static_cast<unsigned long>(kept.archives.size());
    }
};

// With options.resume, refuses (AgentError, bad input, one line) what no
// resume takes, before anything is opened or started: a stream input, a
// PostgreSQL cluster, a type other than full, a job id given besides, a
// store in object storage (known from config's name alone), which keeps no
// record of a backup.
void checkResumable(const BackupOptions& options, const localplatform::Config& config);

// With the set checked and the store open for writing: reads the record of
// job options.resume, checks that the set and the stages asked for are the
// job's (bad input, one line each, before anything changed), takes the job
// over (localplatform::resumeJob: its files closed as they stand, the job
// this process's), then keeps the set's first entries whose files are
// unchanged since and whose shares read back with the digests recorded, and
// removes them from the set, numbering the rest as the streams read them.
// Says how much it keeps and adds "resumed" to json. Throws AgentError: bad
// input for what is refused, a failed job (the job marked failed) for a
// failure once it is taken over. The job's thread.
ResumedJob resumeBackupJob(const BackupOptions& options, const localplatform::Config& config,
                           BackupSet& set, JsonReport& json);

// The manifest of a resumed job once its new streams wrote `fresh` (the rest
// of the set over archive files numbered after the kept ones): the kept
// entries, then fresh's, over both's archive files; of format 3 at least,
// where a file's empty shares are left out.
Manifest resumedManifest(const ResumedJob& resumed, const Manifest& fresh);
