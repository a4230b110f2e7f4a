#pragma once

// What the agent's unit tests share: a directory of their own and the
// failure a call throws.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>

#include "base/AgentError.h"

// A new, empty directory under the build's tmp/ (AGENT_TEST_TMP), named for
// the test and the process.
inline std::string freshDirectory(const std::string& name) {
    const std::string directory =
        std::string(AGENT_TEST_TMP) + "/" + name + "-" + std::to_string(::getpid());
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    return directory;
}

// The message and exit code of what f throws; fails the test if it throws
// nothing.
template <typename F>
std::pair<std::string, int> thrown(F f) {
    try {
        f();
    } catch (const AgentError& error) {
        return {error.what(), error.exitCode()};
    }
    ADD_FAILURE() << "nothing was thrown";
    return {"", 0};
}
