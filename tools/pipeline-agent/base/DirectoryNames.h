#pragma once

#include <optional>
#include <string>
#include <vector>

// The names a directory holds, "." and ".." aside, in the order readdir
// gives them; nothing when it cannot be opened. Holds no descriptor
// afterwards. Any thread.
std::optional<std::vector<std::string>> directoryNames(const std::string& directory);

// The directory part of path: "." for a bare name, "/" for a name at the
// root.
std::string directoryOf(const std::string& path);
