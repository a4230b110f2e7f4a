#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/local/Config.h"
#include "report/JsonReport.h"

struct CopyOptions {
    std::vector<unsigned long long> jobs;  // the jobs named; empty with allNew
    bool allNew = false;                   // every complete job of the source that the target lacks
    std::string to;                        // the target store, a directory or s3://BUCKET/PREFIX
    uint64_t rateLimit = 0;  // bytes a second, every stream of a job together; 0: none
};

// Copies complete jobs from the store that config names (the source, read
// only) into the store options.to (the target, made when absent, with the
// catalog config names or $PIPELINE_CATALOG), oldest first, each as a job
// of the same id and the same creation time (what retention and chains go
// by): its archive files byte for byte (compressed and
// encrypted as stored: no key is needed), one stream each, through the
// library as a backup writes them, then its manifest with the target's
// archive files, then the job marked complete. The target's record of each
// archive file it stored (closed, its size, the SHA-256 of the bytes it
// wrote) must match the source catalog's record before the job is complete
// there. An encrypted job gives the target the
// source's key check when it has none. A job the target has complete is
// skipped; one it has in another state, a job that refers to a job the
// target will not have, and a job of the source that is not complete or
// keeps no manifest are refused (AgentError, bad input) before anything is
// copied. A job whose copy fails is invalidated and marked failed in the
// target (cleanup settles a killed one), and the copy stops there (failed
// job). The source's jobs are held against deletion while they are read.
// Adds to json the stores (once planned), the jobs skipped and those
// copied (as far as it got, on a failure too). The command's thread.
void runCopy(const CopyOptions& options, localplatform::Config config, JsonReport& json);
