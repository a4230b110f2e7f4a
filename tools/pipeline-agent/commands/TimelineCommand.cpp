// timeline TRACE --svg OUT: draws a trace that --trace wrote
// (report/TimelineSvg).

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

#include "commands/Command.h"
#include "report/TimelineSvg.h"

namespace {

struct TimelineOptions {
    std::string trace;
    std::string svg;
};

}  // namespace

Command timelineCommand() {
    Command command;
    command.name = "timeline";
    command.description = "draw a trace that --trace wrote as an SVG picture";
    command.json = false;
    command.define = [](CLI::App& app) -> CommandRun {
        auto timeline = std::make_shared<TimelineOptions>();
        app.add_option("trace", timeline->trace, "the trace")->required()->type_name("FILE");
        app.add_option("--svg", timeline->svg, "where the picture goes (a new file)")
            ->required()
            ->type_name("OUT");
        return [timeline](localplatform::Config, JsonReport&) {
            drawTimeline(timeline->trace, timeline->svg);
        };
    };
    return command;
}
