#pragma once

// Keeping a store in order: cleanup of what jobs that did not complete left,
// the check of the catalog against the files (and its repair), and the
// deletion of jobs on purpose.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/local/ArchiveFiles.h"

namespace localplatform {

struct CleanupResult {
    std::vector<ArchiveFileRecord> removed;      // files removed, with the state they had
    std::vector<unsigned long long> jobsFailed;  // jobs it marked failed
    std::vector<std::string> refused;            // what it would not touch, and why
    std::vector<unsigned long long> jobsDeleted;  // deletions it finished
    // Unfinished writes it dropped (a store in object storage: the uploads
    // of archive files whose writer is gone), by the file's path.
    std::vector<std::string> abandonedWrites;
};
// Removes every file of every job that did not complete and whose writer is
// gone (closed files included) and marks such jobs failed; also removes
// files that a creation cut short left without a catalog entry, and drops
// the unfinished uploads that no live job's file owns. Never
// touches a live job's files or anything outside the store's files/.
// Idempotent. Throws StoreError (Unusable on a read-only store).
CleanupResult cleanup();

struct CheckResult {
    // What is wrong; empty: healthy. After a repair: what is still wrong.
    std::vector<std::string> problems;
    // How many of the problems, the first ones, are the catalog's or the
    // files', which a repair rebuilds from; the others (modes that let other
    // users write the store) it cannot mend.
    std::size_t repairable = 0;
    // What the repair found and put right.
    std::vector<std::string> repaired;
    unsigned long files = 0;       // archive files looked at
    unsigned long long bytes = 0;  // data bytes hashed
    // Closed archive files whose data was not read, for the bound of
    // CheckLimits::maxBytes: each names the file and its size. Their sizes
    // were compared; their digests were not.
    std::vector<std::string> unverified;
    // With problems: the jobs whose writers lived when the check ended (a
    // catalog rebuilt beside them would lose their work).
    std::size_t running = 0;
    // What is known and accepted, no problem: jobs marked damaged and what
    // is wrong with them, jobs whose deletion runs now.
    std::vector<std::string> notes;
    // The commands that help with the problems: `cleanup`, `delete J` or
    // `mark-damaged J`, `check --repair`; one line each.
    std::vector<std::string> advice;
    // The complete jobs (with their completion markers) every one of whose
    // archive files, one at least, was closed and had its data read whole
    // and matching its digests in this check; in the order they were read.
    std::vector<unsigned long long> jobsRead;
};
// How far a check may go, and how it tells how far it got.
struct CheckLimits {
    // Reads the data of a closed archive file for its digest only while the
    // bytes read so far and its size stay within this (none: no bound; 0:
    // sizes only).
    std::optional<unsigned long long> maxBytes;
    // The jobs whose archive files are read first, in this order (a job
    // named twice, or one the store lacks, is no matter); every other file
    // follows in the catalog's order. A check that cannot read it all reads
    // these first.
    std::vector<unsigned long long> readFirst;
    // Called on the checking thread while data is read, after each chunk:
    // the bytes read so far in all, and the file being read.
    std::function<void(unsigned long long bytesRead, const std::string& file)> progress;
};
// Verifies the catalog against the files: every entry's data file and
// description exist and agree, closed files' size and SHA-256 match their
// data, every file has an entry, jobs' states agree with their files. With
// repair, a catalog that is lost, damaged or disagrees with the files is
// rebuilt from files/ and jobs/ alone beside the old one, which it replaces
// in one atomic step, the old one kept aside (catalog.db.damaged-<UTC time>);
// a failure or a kill before that step leaves the old catalog in place.
// Repair refuses (Failed) while a job is running. After interrupt(), stops
// between two archive files (Interrupted), the store as it was. Never opens
// archive data in a way that can block. Throws StoreError.
CheckResult check(bool repair);
// The same within limits. A signal (interrupt()) also stops a file's read
// between two chunks.
CheckResult check(bool repair, const CheckLimits& limits);

struct DeletionResult {
    std::vector<unsigned long long> jobs;  // the jobs deleted, in the order given
    // Their archive files that this call removed, with full paths, and
    // their data bytes.
    std::vector<ArchiveFileRecord> removed;
    unsigned long long bytes = 0;
    // Jobs that another command deleted, or has marked deleting and deletes
    // now, since they were listed (DeletionOptions::goneIsDone).
    std::vector<unsigned long long> deletedElsewhere;
    // Jobs in use, left whole (DeletionOptions::skipInUse).
    std::vector<unsigned long long> skipped;
};
// How deleteJobs meets jobs that other commands act on meanwhile.
struct DeletionOptions {
    // For a caller that listed every job it names as complete, damaged or
    // deleting: a job the store no longer has, or whose lock another
    // deleter holds once it is marked deleting, is counted in
    // deletedElsewhere, not refused.
    bool goneIsDone = false;
    // A job whose lock is held (a restore reads it) is left whole and named
    // in skipped, and the others are deleted, instead of refusing them all.
    bool skipInUse = false;
    // Called on the deleting thread once a batch's locks are held and before
    // any of its jobs is marked deleting, with the jobs locked: what it
    // finds under those locks holds until they are gone. Whatever it throws
    // refuses that batch: none of its jobs is marked, their locks are
    // released, and the exception reaches the caller (earlier batches stay
    // deleted). Empty: nothing is called.
    std::function<void(const std::vector<unsigned long long>& locked)> beforeMarking;
};
// Deletes complete (or damaged) jobs on purpose, with every file the store
// keeps of them, so that a kill at any instant leaves each either whole or
// marked "deleting", which the next cleanup finishes: first every job is
// checked, then each job's lock is taken exclusively without waiting, then
// the jobs are marked deleting in one transaction; their completion markers
// go, then their data files and descriptions, then their manifests, then
// their entries. Refuses before changing anything: a job the store does not
// have, or that is running or failed (Unusable, one line naming it), one
// whose lock another process holds, a restore reading it or another deleter
// (Failed, naming it). A failure after the marking leaves the jobs deleting
// (Failed). After interrupt(), stops before the next batch of jobs (a batch
// is up to 256 jobs; Interrupted). Throws StoreError (Unusable on a
// read-only store). options may count jobs gone meanwhile as done, skip
// jobs in use, and look at each batch under its locks (beforeMarking).
DeletionResult deleteJobs(const std::vector<unsigned long long>& jobIds,
                          const DeletionOptions& options = {});

}  // namespace localplatform
