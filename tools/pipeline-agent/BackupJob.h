#pragma once

#include <string>

struct BackupOptions {
    std::string input;               // the database file to back up
    std::string manifest;            // where the manifest goes; must not exist
    unsigned long streams = 3;       // 1..65
    unsigned long long jobId = 0;    // 0: a new id
    unsigned long failStream = 0;    // rehearse a failed write on this stream
};

// Backs the input up over the streams and writes the manifest. On a failure
// after the streams were set up, has the job's archive files invalidated.
// Throws AgentError.
void runBackup(const BackupOptions& options);

// A job id that no other job on this machine has: the time in milliseconds
// with the process id.
unsigned long long newJobId();
