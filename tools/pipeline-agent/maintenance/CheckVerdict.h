#pragma once

#include <string>
#include <vector>

#include "maintenance/FrameVerification.h"
#include "platform/local/Maintenance.h"

// What `check` makes of what it found: the advice it gives, whether and how
// it fails, and the line it ends with when it does not. Values only: none
// of these looks at the store or prints anything.

// What a check found: the store's own check (catalog, files, digests, the
// manifests the store keeps) and the frames of its jobs with stages.
struct CheckFindings {
    localplatform::CheckResult result;
    FrameVerification frames;
};

// Adds what the frames' verification found to the store's findings, in the
// order check shows them: its problems after the store's, its notes before
// them, its unread parts after the store's unread files.
void mergeFrameFindings(CheckFindings& found);

// The advice for the problems found, none without problems. A catalog
// rebuilt beside live writers would lose their work: while jobs run, the
// advice to repair gives way to one line saying to check again after they
// end; the rest (cleanup, which leaves live jobs alone) stays. After a
// repair, repairing is no advice.
std::vector<std::string> checkAdvice(const localplatform::CheckResult& result, bool repair);

// Throws AgentError (failed job) when problems are left: one line counting
// them in the store, with the advice and, last, the jobs a key given did not
// open. Without problems, a key given that did not open a job fails the
// check too, with that line alone: a script that checks its key is never
// told all is well. Returns when neither is so.
void throwIfCheckFailed(const CheckFindings& found, const std::vector<std::string>& advice,
                        const std::string& store, bool repair);

// The line a check that did not fail ends with: how many archive files and
// bytes were checked (the frames, and the data that jobs refer to in other
// jobs' archive files, read again among them), and, for a
// bounded check, what was not read.
std::string checkSummary(const CheckFindings& found, const std::string& store);
