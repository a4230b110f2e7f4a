#pragma once

// What became of a failed backup's archive files: the library logs an
// invalidation that failed (a full disk, say) and goes on, so the agent
// asks the catalog before it says what happened.

// True when every archive file this process created for job jobId's streams
// streamsBefore + 1..streams is invalidated in the catalog (none created:
// true). False when one is not, or the catalog cannot tell. Main thread; no
// exceptions.
bool archiveFilesInvalidated(unsigned long long jobId, unsigned long streams,
                             unsigned long streamsBefore = 0) noexcept;

// Says on stderr that invalidating the job's archive files failed, that the
// log says why, and how to free their space (`cleanup` of the open store).
void sayInvalidationFailed();
