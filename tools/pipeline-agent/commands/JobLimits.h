#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

// What a job that moves data takes to go easy on the host it runs on:
// --limit-rate RATE and --nice, as the command line gives them.
struct JobLimits {
    std::string rate;  // --limit-rate, parsed when the command runs; empty: none
    bool nice = false;
};

// Adds --limit-rate and --nice to command, bound to limits, which must
// outlive the parse.
void addJobLimits(CLI::App& command, JobLimits& limits);

// Applies limits as the command runs, before any work: returns
// --limit-rate's bytes per second (0: none) and, with --nice, lowers the
// process's CPU and I/O priority (lowerPriority; what cannot be lowered is
// said in one line and the job goes on). Throws AgentError (bad input) for
// a rate that is none. The command's thread, before the job starts any.
uint64_t applyJobLimits(const JobLimits& limits);
