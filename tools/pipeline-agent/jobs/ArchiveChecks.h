#pragma once

#include <string>

#include "manifest/Manifest.h"

// Before a restore sets anything up, in the open store: every archive file
// the manifest names must be in the catalog, closed, and its data file
// present. Throws AgentError: bad input for a file the catalog does not
// know (a wrong store), or has invalidated or never closed; a failed job
// (damage to the store, which `check` reports) for a closed file whose data
// is missing, or a catalog that cannot be read. store: the store as the
// user named it, for the message.
void requireRestorableArchives(const Manifest& manifest, const std::string& store);
