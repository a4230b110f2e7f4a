#pragma once

#include <map>
#include <mutex>

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// Backup stream numbers: the stream of a job's next archive file in this
// process is 1 + the files created for the job so far, which is the order
// BackupPipelineSetup sets its streams up. Safe to use from several threads.
class StreamNumbering {
public:
    // The number for the job's next archive file.
    unsigned long take(unsigned long long jobId);
    // Gives back a number whose file could not be created, if no later one
    // was handed out.
    void giveBack(unsigned long long jobId, unsigned long stream);

private:
    std::mutex m_mutex;
    std::map<unsigned long long, unsigned long> m_last;
};

}  // namespace localplatform

#pragma GCC visibility pop
