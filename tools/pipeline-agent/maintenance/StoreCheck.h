#pragma once

#include <optional>

#include "keys/JobKeys.h"
#include "platform/local/Config.h"
#include "report/JsonReport.h"

// The `check` command: the store audited, the frames of its jobs with
// stages verified, and the verdict.

// Verifies the store, or with repair rebuilds its catalog from the files.
// Prints every problem on stdout, or with an enabled report adds them to it
// ("store", "repair", "files", "bytes", "problems", "repaired"); throws
// AgentError (failed job) when any is left. maxBytes bounds the archive
// data read for digests (0: sizes only); the files left unread are named
// ("not verified: ..."), and are no problem. The jobs no check verified
// yet are read first, then those verified longest ago (VerificationDates);
// a check that finds no problem records when it read each job whole, or
// says in a note why it could not (a store it may not write). The frames of jobs whose bytes
// went through stages are read and verified too (verifyFramedJobs), within
// the same bound, opened with key when it opens them, and so are every
// complete job's references (the job referred to complete, its archive
// files as named, the shares held there; a broken one is a problem of its
// own line); what no key was given
// for is said (a "note:" line, or the report's "notes"), and a key given
// that does not open a job fails the check (AgentError, failed job, one
// line). A store that holds native PostgreSQL base backups or WAL has its
// WAL followed from each base backup to the newest segment it reaches: each
// gap on the way is a problem (walGapLine). A repair first clears what stands where jobs/, a lock or a log
// belongs (Config::clearUnusablePlaces). Shows how far it has read on
// stderr while it reads (unless -q). Opens the store itself. Thread rules:
// the command's thread; sets the reaction to a signal (onInterrupt) to
// interrupt the store's check.
void checkStore(const localplatform::Config& config, bool repair, JsonReport& report,
                std::optional<unsigned long long> maxBytes = std::nullopt,
                const KeySource& key = {});
