#pragma once

#include <string>
#include <vector>

#include "manifest/Manifest.h"

// In the open store: every archive file the manifest names must be in the
// catalog, closed, and its data file present. Throws AgentError: bad input
// for a file the catalog does not know (a wrong store), or has invalidated
// or never closed; a failed job (damage to the store, which `check`
// reports) for a closed file whose data is missing, or a catalog that
// cannot be read. store: the store as the user named it, for the message.
// Explains a restore request that could not be set up.
void requireRestorableArchives(const Manifest& manifest, const std::string& store);

// Before a restore sets anything up: every archive file of the manifest that
// the catalog has closed must have its data in the store; the rest is left
// to the platform, which refuses what it may not open, and to
// requireRestorableArchives. Throws AgentError (failed job: the store is
// damaged) naming the first whose data is missing.
void requireArchiveData(const Manifest& manifest);

// For a job marked damaged, before a restore sets anything up: every part
// of the chosen files that the job holds (a share, or a piece of its own)
// must lie whole in its archive file, with the stored bytes (SHA-256) the
// manifest records; what other jobs hold is theirs, and they must be
// complete. Throws AgentError (failed job) with one
// line naming the first archive file that fails a part, and its file.
void requireWholeParts(const std::vector<const ManifestFile*>& files, unsigned long long jobId);
