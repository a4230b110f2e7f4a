#pragma once

#include <string>
#include <vector>

#include "jobs/JobKeys.h"
#include "platform/local/LocalPlatform.h"

// What check finds of the complete jobs whose bytes went through stages.
struct FrameCheck {
    std::vector<std::string> problems;  // one line each
    std::vector<std::string> notes;     // what was not verified, and why
    unsigned long jobs = 0;             // jobs whose frames were read
};

// For every complete job whose manifest in the store is of format 4: each
// share's stored bytes, read from its archive file's data in the open store,
// must be storedSize long and match storedSha256. A job not encrypted, or
// one that `key` opens (a key file, or $PIPELINE_PASSPHRASE; never asked on
// the terminal), also has its frames decoded and verified and each share's
// bytes checked against its digest; an encrypted job without its key is
// checked as stored only, which a note says. Reads only; throws AgentError
// when the catalog cannot be read. Thread rules: the command's thread.
FrameCheck checkFramedJobs(const localplatform::Config& config, const KeySource& key);
