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

// Whether a manifest a user gave tells of job's data what the store's copy
// does: the same job, archive files and stages, and each of its entries one
// of the copy's, alike in name, kind, size, digests, parts, stripes, link
// target and modification time (and mode, where it records one). A manifest
// converted to the first format, or one whose createdAt was retouched,
// agrees; one with anything a restore obeys changed does not.
bool agreesWithStored(const Manifest& given, const Manifest& stored);

// Throws AgentError (bad input) when given, read from path, does not agree
// with the store's copy of its job (agreesWithStored). False, having checked nothing,
// when the store keeps no copy of that job (a backup by an older agent).
bool requireSameAsStored(const Manifest& given, const std::string& path);
