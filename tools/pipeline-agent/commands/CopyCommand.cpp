// copy JOB... --to STORE: copies complete jobs into another store
// (jobs/copy/CopyJob).

#include <CLI/CLI.hpp>

#include <climits>
#include <memory>

#include "base/AgentError.h"
#include "commands/Command.h"
#include "commands/JobLimits.h"
#include "commands/NumberOptions.h"
#include "jobs/copy/CopyJob.h"

Command copyCommand() {
    Command command;
    command.name = "copy";
    command.description = "copy complete jobs into another store, as they are stored";
    command.json = true;
    command.logName = "copy";
    command.define = [](CLI::App& app) -> CommandRun {
        auto copy = std::make_shared<CopyOptions>();
        auto limits = std::make_shared<JobLimits>();
        app.add_option_function<std::vector<std::string>>(
               "jobs",
               [copy](const std::vector<std::string>& ids) {
                   for (const std::string& id : ids) {
                       copy->jobs.push_back(parseDecimalUnsigned("JOB", id, 1, ULLONG_MAX));
                   }
               },
               "the jobs to copy, by id")
            ->type_name("JOB");
        app.add_flag("--all-new", copy->allNew,
                     "copy every complete job of the store that the other store lacks");
        app.add_option("--to", copy->to,
                       "the store to copy into (a directory or s3://BUCKET/PREFIX), made when "
                       "absent")
            ->required()
            ->type_name("STORE");
        addJobLimits(app, *limits);
        return [copy, limits](localplatform::Config config, JsonReport& report) {
            copy->rateLimit = applyJobLimits(*limits);
            if (copy->jobs.empty() == !copy->allNew) {
                throw badInput("copy takes the jobs to copy or --all-new, one of them");
            }
            runCopy(*copy, std::move(config), report);
        };
    };
    return command;
}
