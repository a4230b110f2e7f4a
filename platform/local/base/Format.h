#pragma once

// Text the platform makes without any state of its own: printf-style
// formatting, system errors, UTC times and the name an archive file goes by
// in messages. Internal to the local library; depends on nothing above it.

#include <cstdint>
#include <string>

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// printf-style formatting into a string of any length.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "<what> <path>: <strerror(error)>"; error defaults to the current errno.
std::string systemError(const std::string& what, const std::string& path);
std::string systemError(const std::string& what, const std::string& path, int error);

// The current UTC time, ISO 8601 with milliseconds; compact: 20261207T214500Z.
std::string utcNow();
std::string utcNowCompact();

// "archive file (T, G, A)": how every message names an archive file by its
// identity (Trellan id, group number, archive file id).
std::string archiveFileName(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId);

}  // namespace localplatform

#pragma GCC visibility pop
