#pragma once

#include <map>
#include <mutex>

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// Backup stream numbers: the stream of a job's next archive file in this
// process is 1 + the files created for the job so far, which is the order
// BackupPipelineSetup sets its streams up. Safe to use from several threads.
//
// Why counted, not read: nothing the library hands the platform for a
// stream carries its number. Each stream gets an archive object made with
// ZebArchive(nullptr, true, nullptr); setupPipeline is given the address of
// the one SetupPipelineArgs_t the library keeps for the whole job (every
// stream's object sees the same record, filled once before the first stream,
// and its fields are the job's setup values, type and text); createArchiveFile
// gets a CreateArgs_t that holds the job's create text, type code and data
// type, its reserved words zero. The library is not the platform's to change,
// so the number is rebuilt here, in this one place, from the one thing that
// is certain: AddStreamToPipeline(k) runs for k = 1, 2, ... in turn on one
// thread, and each creates exactly one archive file, or none when it fails
// (then the number is given back). The agent checks the result: it asks the
// store for the file of (job, k) after each stream is set up and fails the
// job when there is none.
class StreamNumbering {
public:
    // The number for the job's next archive file.
    unsigned long take(unsigned long long jobId);
    // Gives back a number whose file could not be created, if no later one
    // was handed out.
    void giveBack(unsigned long long jobId, unsigned long stream);
    // The job's next archive file in this process is stream last + 1: a job
    // taken over from a writer that is gone goes on after its streams.
    void continueAfter(unsigned long long jobId, unsigned long last);

private:
    std::mutex m_mutex;
    std::map<unsigned long long, unsigned long> m_last;
};

}  // namespace localplatform

#pragma GCC visibility pop
