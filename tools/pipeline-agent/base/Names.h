#pragma once

#include <string>

// The limits of names the agent opens or creates, checked before any work so
// that a name too long is refused as bad input, not found out by a failed
// open in the middle of a job.
constexpr std::size_t kMaxNameBytes = 255;   // one component (NAME_MAX)
constexpr std::size_t kMaxPathBytes = 4095;  // a whole path (PATH_MAX less its NUL)

// Throws AgentError (bad input) naming `what` when path holds a NUL byte, is
// longer than kMaxPathBytes, or has a component longer than kMaxNameBytes.
void requireUsablePath(const std::string& path, const std::string& what);

// The same for one name (a component, no '/' looked at): a NUL byte, or
// longer than kMaxNameBytes. An empty name passes.
void requireUsableName(const std::string& name, const std::string& what);
