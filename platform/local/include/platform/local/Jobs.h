#pragma once

// Jobs, the unit of a store: beginning, ending and listing them, marking
// them damaged, and a restore's hold on the job it reads.

#include <memory>
#include <string>
#include <vector>

#include "platform/local/ArchiveFiles.h"

namespace localplatform {

// Begins a job: refuses (JobExists) a job id the store knows in any state,
// then takes the job's liveness lock, held until failJob, completeJob,
// closeStore or exit, and enters the job as "running". createdAt: when the
// job began, as JobRecord::createdAt gives it (a job copied from another
// store keeps its own); empty: now. Unusable on a read-only store; Failed
// when the store fails.
void beginJob(unsigned long long jobId, const std::string& createdAt = "");
// Begins again, as beginJob does, a job that failed and whose archive
// files a cleanup removed (a copy that was killed, say), so that it can be
// written whole under its id. Refuses (JobExists) a job in any other state,
// one with archive files left, a complete one and one running elsewhere.
// createdAt: as beginJob's.
void beginJobAgain(unsigned long long jobId, const std::string& createdAt = "");
// Takes over job jobId, running in the catalog with its writer gone (a
// backup that was killed), to write more of it: takes its lock as beginJob
// does, removes what its writer left that completed nothing (a manifest
// kept in the store, files a creation cut short), then closes each of its
// archive files that is still being written
// as it stands, its size and SHA-256 those of the bytes it holds now (its
// description closed, then the catalog), so that what the job wrote before
// can be kept; the job stays running, and its next archive file in this
// process is the stream after its last. Returns the job's archive files, all
// closed. Refuses before changing anything (JobExists) a job that is not
// running, is complete or whose writer lives; (Unusable) a store in object
// storage, whose files being written are uploads that were never finished,
// and a read-only store; (Failed) a job with a file given up (invalidated).
// A failure or a kill on the way leaves each file closed or still being
// written, and the job running: taking it over again goes on from there.
std::vector<ArchiveFileRecord> resumeJob(unsigned long long jobId);
// Marks a job this process began complete, durably (a marker in jobs/ first,
// then the catalog), and releases its lock. Refuses (Failed) a job that was
// not begun here or that has a file that is not closed.
void completeJob(unsigned long long jobId);
// Marks the job failed in the catalog (a complete job stays complete) and
// releases its lock if this process holds it. Best effort: logs what it
// could not do.
void failJob(unsigned long long jobId) noexcept;

struct JobRecord {
    unsigned long long jobId = 0;
    // "running", "complete", "failed", "deleting" (deleted on purpose, not
    // yet wholly removed) or "damaged" (complete, kept on purpose with a
    // damaged archive file)
    std::string state;
    bool writerAlive = false; // its lock is held
    std::string createdAt, updatedAt;
    std::vector<ArchiveFileRecord> files;  // oldest first
};
// The store's jobs, oldest first, with their files. Throws StoreError.
std::vector<JobRecord> listJobs();

// Marks complete jobs "damaged": kept and restorable file by file, no longer
// a problem for check. A job already marked stays so. Refuses (Unusable,
// before changing anything) a job the store does not have or that is not
// complete. Throws StoreError.
void markJobsDamaged(const std::vector<unsigned long long>& jobIds);

// A restore's hold on the job it reads: while it lives no deletion of the
// job begins. Released when destroyed; not shared between threads.
class JobReadHold {
public:
    virtual ~JobReadHold() = default;
    // The job's state when the hold was taken; empty when the catalog does
    // not know it.
    virtual const std::string& state() const = 0;
};
// Takes the open store's shared lock of job jobId without waiting, then
// looks at its state. Throws StoreError (Failed, one line naming the job)
// when the job is being deleted, or its lock is held exclusively (a
// deletion, or its writer). Works on a read-only store; a store its user may
// not write has no lock to take for a job that never had one, and the hold
// then holds nothing.
std::unique_ptr<JobReadHold> holdJobForReading(unsigned long long jobId);

}  // namespace localplatform
