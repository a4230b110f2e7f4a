// The places a configuration resolves to.

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/local/Config.h"
#include "platform/local/StoreSession.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"
#include "platform/local/store/Store.h"

namespace localplatform {

namespace {

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

std::string configuredStoreDirectory(const Config& config) {
    if (!config.storeDir.empty()) return config.storeDir;
    const std::string store = environment("PIPELINE_STORE");
    if (!store.empty()) return store;
    const std::string dataHome = environment("XDG_DATA_HOME");
    if (!dataHome.empty()) return dataHome + "/pipelinesetup/store";
    return homeDirectory() + "/.local/share/pipelinesetup/store";
}

std::string settingsFilePath() {
    const auto current = context();
    if (!current->config.settingsFile.empty()) return current->config.settingsFile;
    const std::string settings = environment("PIPELINE_SETTINGS");
    if (!settings.empty()) return settings;
    const std::string store =
        current->store ? current->store->directory() : configuredStoreDirectory(current->config);
    return store + "/settings.ini";
}

}  // namespace localplatform
