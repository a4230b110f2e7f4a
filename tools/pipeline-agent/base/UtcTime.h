#pragma once

#include <string>

// The time now in UTC, as manifests and records give it:
// "YYYY-MM-DDTHH:MM:SSZ". Any thread.
std::string utcNow();
