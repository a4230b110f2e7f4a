#pragma once

#include "platform/local/Config.h"

// The `cleanup` command: what jobs and restores that did not end left.

// Removes what jobs that did not complete left, partial restore outputs of
// dead restores, and SQLite snapshots of dead backups; says what it removed
// on stdout, and what it left alone on stderr. Opens the store itself;
// throws AgentError. Thread rules: the command's thread.
void cleanUpStore(const localplatform::Config& config);
