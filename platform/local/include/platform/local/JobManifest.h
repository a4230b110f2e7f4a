#pragma once

// Each complete job's manifest, kept in its store: jobs/<job id>.manifest.json,
// written once before the job is marked complete. The store keeps the text
// as the agent gave it and does not read it; a `check --repair` leaves it
// where it is.

#include <optional>
#include <string>
#include <vector>

namespace localplatform {

// Writes text as job jobId's manifest in the open store: created exclusively
// with the store's modes, made durable with its directory entry. The job
// must be running in the catalog (the writer stores it before completeJob).
// Throws StoreError: Unusable on a read-only store, JobExists when the job
// already has one, Failed when the job is not running or the write fails
// (then no file is left).
void storeJobManifest(unsigned long long jobId, const std::string& text);

// Job jobId's manifest in the open store, as stored; nullopt when it has
// none. Opens it without following a link or blocking and refuses anything
// but a regular file. Throws StoreError (Failed) when it cannot be read.
std::optional<std::string> jobManifest(unsigned long long jobId);

// Whether the store kept job jobId's manifest when the job was completed, as
// its completion marker says: false for a job completed before stores kept
// manifests (by an earlier release), for one not complete, and when the
// marker cannot be read.
bool manifestKeptAtCompletion(unsigned long long jobId);

// Where job jobId's manifest lies (or would lie) in the open store.
std::string jobManifestPath(unsigned long long jobId);

// The jobs of the open store that have a manifest, in ascending order.
std::vector<unsigned long long> jobsWithManifests();

}  // namespace localplatform
