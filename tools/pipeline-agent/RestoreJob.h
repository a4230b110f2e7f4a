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
// The output appears only when everything matched. Throws AgentError.
void runRestore(const RestoreOptions& options);

// Where restores record the hidden partial files that cleanup may remove.
std::string partialOutputDirectory();

// The platform configuration the options make; openStore takes it.
localplatform::Config& platformConfig();

// Opens the configured store (read-only unless forWriting; never creates
// it). Throws AgentError (bad input) when there is none or it is unusable.
void requireStore(bool forWriting = false);
