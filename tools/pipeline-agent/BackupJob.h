#pragma once

#include <string>

#include "platform/local/LocalPlatform.h"

struct BackupOptions {
    std::string input;               // the database file to back up
    std::string manifest;            // where the manifest goes; must not exist
    unsigned long streams = 3;       // 1..65
    unsigned long long jobId = 0;    // 0: a new id
    unsigned long failStream = 0;    // rehearse a failed write on this stream
};

// Backs the input up over the streams into the store that config names (made
// when absent), writes the manifest and only then marks the job complete. A
// job id the store knows is refused before anything is made. On a failure or
// a signal after the streams were set up, has the job's archive files
// invalidated and marks the job failed. Throws AgentError.
void runBackup(const BackupOptions& options, localplatform::Config config);

// A job id that no other job on this machine has: the time in milliseconds
// with the process id.
unsigned long long newJobId();
