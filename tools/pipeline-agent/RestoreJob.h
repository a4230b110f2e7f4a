#pragma once

#include <string>

#include "platform/local/LocalPlatform.h"

struct RestoreOptions {
    std::string manifest;            // what a backup wrote
    std::string output;              // where the restored file goes
    unsigned long requests = 1;      // restore requests against the same files
    bool replace = false;            // overwrite an existing output
    bool namedTemporary = false;     // testing: write a hidden named file, not an unnamed one
};

// Restores the manifest's source into the output over the backup's streams,
// once per request, checking every stream's checksum and the whole file's.
// The store is opened read-only. The output appears only when everything
// matched. Throws AgentError.
void runRestore(const RestoreOptions& options, const localplatform::Config& config);

// Where restores record the hidden partial files that cleanup may remove, in
// the open store.
std::string partialOutputDirectory();

