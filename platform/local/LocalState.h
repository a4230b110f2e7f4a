#pragma once

// What the local platform's definitions share: where things live, how lines
// are logged, and the session head's state. Internal to the local library;
// not installed.

#include <memory>
#include <string>

#include "platform/CZebNetwork.h"
#include "platform/local/LocalPlatform.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class MediaSide;

// The settings file the configuration resolves to.
std::string settingsFilePath();

// Writes one log line stamped with time, process, thread, level and job id,
// unless the configured level holds it back. level is ignored for errors.
void writeLogLine(bool isError, int level, unsigned long long jobId, const std::string& text);

// printf-style formatting into a string of any length.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The platform's own diagnostics, on the configured job: refusals and
// failures as errors, routine events as level 1 debug lines. Both prefix the
// text with "local platform: ".
void platformError(const std::string& text);
void platformDebug(const std::string& text);

}  // namespace localplatform

// A session head leads to the media side of the archive file it was opened
// for; it shares that media side with the archive object.
struct CZebNetwork::Impl {
    std::shared_ptr<localplatform::MediaSide> media;
};

#pragma GCC visibility pop
