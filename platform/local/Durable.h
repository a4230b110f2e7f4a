#pragma once

// Small file-system helpers of the store: whole writes, durable directory
// entries, exclusive creation and times. Internal to the local library.

#include <string>

#include "platform/local/FileModes.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// "<what> <path>: <strerror(errno)>".
std::string systemError(const std::string& what, const std::string& path);
// Writes all of text; false with errno set when a write fails.
bool writeWhole(int fd, const std::string& text);
// Makes the directory's entries durable. False with errno set on failure.
bool syncDirectory(const std::string& path);
// Creates path exclusively (O_EXCL, never following a link) holding text,
// with the store's modes, durable with its directory entry. False with errno
// set: EEXIST when it exists; on other failures a file made halfway is
// removed.
bool createDurably(const std::string& path, const std::string& text, const FileModes& modes);
// The current UTC time, ISO 8601 with milliseconds; compact: 20261207T214500Z.
std::string utcNow();
std::string utcNowCompact();

}  // namespace localplatform

#pragma GCC visibility pop
