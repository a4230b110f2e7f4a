#pragma once

#include <cstdarg>
#include <string>

namespace platformcommon {

// The printf-style format filled in with args, of any length; empty for a
// null format or an encoding error. Internal to the platform libraries.
__attribute__((visibility("hidden"), format(printf, 1, 0))) std::string vformatText(
    const char* format, va_list args);

}  // namespace platformcommon
