#pragma once

#include <optional>
#include <string>

#include "manifest/Manifest.h"

// The copy of each complete job's manifest that the store keeps
// (localplatform::jobManifest), as the agent reads and checks it. All of it
// needs an open store.

// Where job jobId's copy lies, for messages: "STORE/jobs/J.manifest.json".
std::string storedManifestPath(unsigned long long jobId);

// The store's copy of job jobId's manifest, checked as loadManifest checks
// a file; nullopt when the store keeps none. Throws AgentError: bad input
// when it does not parse or names another job, a failed job when it cannot
// be read.
std::optional<Manifest> storedManifest(unsigned long long jobId);

// Keeps manifest in the store as its job's copy, durably, before the job is
// marked complete. On failure marks the job failed and throws AgentError
// (failed job); the store is left without a copy.
void keepManifestInStore(const Manifest& manifest);

// Throws AgentError (bad input) when given, read from path, differs in
// anything from the store's copy of its job. False, having checked nothing,
// when the store keeps no copy of that job (a backup by an older agent).
bool requireSameAsStored(const Manifest& given, const std::string& path);
