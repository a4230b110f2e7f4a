#pragma once

#include <optional>

#include "keys/JobKeys.h"
#include "platform/local/LocalPlatform.h"
#include "report/JsonReport.h"

// The commands that look after a store rather than run a job. Each opens the
// store itself and throws AgentError.

// Prints the store's jobs and their archive files as a table on stdout, one
// row per file (a job without files gets one row), with their states; its
// columns are as wide as their widest entry. With an enabled report, adds
// them to it instead (fields "store" and "jobs") and prints no table. A
// job other than 0: that job's rows alone.
void listStore(const localplatform::Config& config, JsonReport& report,
               unsigned long long job = 0);
// Removes what jobs that did not complete left, partial restore outputs of
// dead restores, and SQLite snapshots of dead backups; says what it removed.
void cleanUpStore(const localplatform::Config& config);
// Verifies the store, or with repair rebuilds its catalog from the files.
// Prints every problem on stdout, or with an enabled report adds them to it
// ("store", "repair", "files", "bytes", "problems", "repaired"); throws
// AgentError (failed job) when any is left. maxBytes bounds the archive
// data read for digests (0: sizes only); the files left unread are named
// ("not verified: ..."), and are no problem. The frames of jobs whose bytes
// went through stages are read and verified too (verifyFramedJobs), within
// the same bound, opened with key when it opens them; what no key was given
// for is said (a "note:" line, or the report's "notes"), and a key given
// that does not open a job fails the check (AgentError, failed job, one
// line). A repair first clears what stands where jobs/, a lock or a log
// belongs (Config::clearUnusablePlaces). Shows how far it has read on
// stderr while it reads (unless -q).
void checkStore(const localplatform::Config& config, bool repair, JsonReport& report,
                std::optional<unsigned long long> maxBytes = std::nullopt,
                const KeySource& key = {});
