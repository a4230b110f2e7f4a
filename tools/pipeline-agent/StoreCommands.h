#pragma once

#include "platform/local/LocalPlatform.h"

// The commands that look after a store rather than run a job. Each opens the
// store itself and throws AgentError.

// Prints the store's jobs and their archive files, one row per file (a job
// without files gets one row), with their states.
void listStore(const localplatform::Config& config);
// Removes what jobs that did not complete left, and partial restore outputs
// of dead restores; says what it removed.
void cleanUpStore(const localplatform::Config& config);
// Verifies the store, or with repair rebuilds its catalog from the files.
// Prints every problem; exits through AgentError (failed job) when any is
// left.
void checkStore(const localplatform::Config& config, bool repair);
