#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Draws a trace in the Chrome trace-event format (the object form, or a bare
// list of events) as an SVG picture: a title, a legend of the phases, one row
// per thread (a job's stream: <g class="stream-row">, its name on the left)
// with each complete ("X") event a bar coloured by its name, and a time axis
// with ticks and labels. Threads are named by "thread_name" metadata events,
// processes by "process_name". Throws std::invalid_argument saying what is
// wrong when the document is not such a trace or holds nothing to draw.
std::string timelineSvg(const nlohmann::json& trace);

// The `timeline` command: reads the trace at tracePath and writes its picture
// to svgPath, which must not exist, so that it appears only whole. Throws
// AgentError: bad input, before anything is written, for a trace that cannot
// be read or parsed or drawn, or an SVG path that cannot take a new file.
void drawTimeline(const std::string& tracePath, const std::string& svgPath);
