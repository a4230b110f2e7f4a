// mark-damaged JOB...: keeps complete jobs that check finds damaged, marked
// so: listed as damaged, no longer a problem for check, restorable file by
// file where their archive files are whole.

#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/InputRules.h"
#include "base/Console.h"
#include "commands/Command.h"
#include "session/StoreSession.h"
#include "platform/local/Jobs.h"

namespace {

void runMarkDamaged(const std::vector<std::string>& jobs, const localplatform::Config& config) {
    std::vector<unsigned long long> ids;
    for (const std::string& text : jobs) {
        ids.push_back(parseDecimalUnsigned("JOB", text, 1, ULLONG_MAX));
    }
    openStoreFor(config, localplatform::Access::ReadWrite, false);
    try {
        localplatform::markJobsDamaged(ids);
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    for (const unsigned long long id : ids) {
        std::printf(
            "job %llu is marked damaged: kept, restorable file by file where its "
            "archive files are whole\n",
            id);
    }
    std::fflush(stdout);
}

}  // namespace

Command markDamagedCommand() {
    Command command;
    command.name = "mark-damaged";
    command.description = "keep complete jobs that check finds damaged, marked damaged";
    command.json = false;
    command.logName = "mark-damaged";
    command.define = [](CLI::App& app) -> CommandRun {
        auto jobs = std::make_shared<std::vector<std::string>>();
        app.add_option("JOB", *jobs, "the jobs to mark")->required();
        return [jobs](localplatform::Config config, JsonReport&) { runMarkDamaged(*jobs, config); };
    };
    return command;
}
