#pragma once

#include <string>

#include "platform/local/Config.h"

// Opens the store that config names for one command, by its canonical path,
// with the access the command needs; a read-only command never writes to it
// and works on a store the user may only read. create: a backup makes the
// store when it is absent. Throws AgentError: bad input when there is no
// store or it cannot be used, a failed job when it fails while opening.
void openStoreFor(const localplatform::Config& config, localplatform::Access access, bool create);

// Turns a store failure into the agent's error: bad input for what the user
// can put right before any work (no store, an unusable one, a job id taken),
// a failed job for what failed on the way.
[[noreturn]] void throwStoreError(const localplatform::StoreError& error,
                                  const localplatform::Config& config);
