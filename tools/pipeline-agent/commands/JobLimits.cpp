#include "commands/JobLimits.h"

#include <CLI/CLI.hpp>

#include "base/Console.h"
#include "base/ProcessPriority.h"
#include "base/RateLimit.h"

void addJobLimits(CLI::App& command, JobLimits& limits) {
    command
        .add_option("--limit-rate", limits.rate,
                    "move at most RATE bytes a second, every stream together (K, M, G: "
                    "KiB, MiB, GiB)")
        ->type_name("RATE");
    command.add_flag("--nice", limits.nice,
                     "run at a lower CPU and I/O priority (as nice -n 10 ionice -c 2 -n 7)");
}

uint64_t applyJobLimits(const JobLimits& limits) {
    const uint64_t rate = limits.rate.empty() ? 0 : parseRate("--limit-rate", limits.rate);
    if (limits.nice) {
        const std::string failed = lowerPriority();
        if (!failed.empty()) say("--nice: %s", failed.c_str());
    }
    return rate;
}
