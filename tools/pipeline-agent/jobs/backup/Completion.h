#pragma once

#include <string>

#include "manifest/Manifest.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"

// Runs step and returns what it returns; when it throws, marks job jobId
// (begun by this process) failed and rethrows. The job's thread.
template <typename Step>
auto failJobOnError(unsigned long long jobId, Step&& step) -> decltype(step()) {
    try {
        return step();
    } catch (...) {
        localplatform::failJob(jobId);
        throw;
    }
}

// When a signal asked the job to stop, marks it failed and throws AgentError
// (interrupted). The job's thread.
void failIfInterrupted(unsigned long long jobId);

// Ends a backup whose archive files are closed: the store keeps its own copy
// of the manifest first, so that a complete job always has one; then the
// manifest is saved at path (unless empty: the store's copy is then the
// only one), and only then is the job marked complete.
// When the manifest cannot be saved, the job is marked failed (AgentError,
// failed job, saying so); when the job cannot be marked complete, the
// manifest saved at path is removed (one of a job that is not complete must
// not pass for one) and the job is marked failed. Crash step "manifest
// saved" lies between the two. The job's thread.
void completeBackup(const Manifest& manifest, const std::string& path, unsigned long long jobId);
