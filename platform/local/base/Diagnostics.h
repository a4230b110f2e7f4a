#pragma once

// The platform's own log lines, for every layer: they go through the
// process's log sink on the current job (process/Context.cpp defines them),
// so that a layer below the context logs without knowing it.

#include <string>

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// Writes one log line through the context's sink.
void writeLogLine(bool isError, int level, unsigned long long jobId, const std::string& text);

// The platform's own diagnostics, on the current job: refusals and failures
// as errors, routine events as level 1 debug lines. Both prefix the text with
// "local platform: ".
void platformError(const std::string& text);
void platformDebug(const std::string& text);

}  // namespace localplatform

#pragma GCC visibility pop
