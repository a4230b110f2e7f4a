// The process-wide configuration and the places it resolves to.

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/local/LocalPlatform.h"
#include "platform/local/LocalState.h"

namespace localplatform {

namespace {

std::mutex g_mutex;
Config g_config;

// The variable's value; empty when it is unset.
std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string homeDirectory() {
    std::string home = environment("HOME");
    if (!home.empty()) return home;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found) {
        return found->pw_dir;
    }
    return ".";
}

}  // namespace

void configure(const Config& config) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_config = config;
}

Config configuration() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_config;
}

std::string storeDirectory() {
    const std::string configured = configuration().storeDir;
    if (!configured.empty()) return configured;
    const std::string store = environment("PIPELINE_STORE");
    if (!store.empty()) return store;
    const std::string dataHome = environment("XDG_DATA_HOME");
    if (!dataHome.empty()) return dataHome + "/pipelinesetup/store";
    return homeDirectory() + "/.local/share/pipelinesetup/store";
}

std::string settingsFilePath() {
    const std::string configured = configuration().settingsFile;
    if (!configured.empty()) return configured;
    const std::string settings = environment("PIPELINE_SETTINGS");
    if (!settings.empty()) return settings;
    return storeDirectory() + "/settings.ini";
}

}  // namespace localplatform
