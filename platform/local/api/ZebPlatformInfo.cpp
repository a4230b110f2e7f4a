// Settings from an INI file, read anew on every call so that an edit takes
// effect at once, and the machine's name.

#include "platform/ZebPlatformInfo.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/local/StepHooks.h"
#include "platform/local/StoreSession.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/process/Context.h"
#include "platform/local/storage/PosixStorage.h"
#include "platform/local/store/Store.h"

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool sameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The raw value of key in section: the last such line when there are several.
// Lines are "[Section]" headers, "key = value" settings, and comments that
// start with ';' or '#'; section and key names match regardless of case.
std::optional<std::string> lookUp(std::istream& file, const char* section, const char* key) {
    std::optional<std::string> value;
    bool inSection = false;
    std::string line;
    while (std::getline(file, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            inSection = sameName(trimmed(line.substr(1, line.size() - 2)), section);
            continue;
        }
        const auto equals = line.find('=');
        if (!inSection || equals == std::string::npos) continue;
        if (sameName(trimmed(line.substr(0, equals)), key)) value = trimmed(line.substr(equals + 1));
    }
    return value;
}

}  // namespace

ZebPlatformInfo::ZebPlatformInfo() = default;

ZebPlatformInfo::~ZebPlatformInfo() = default;

// A value that is not an unsigned decimal number counts as absent, with a
// log line.
int ZebPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    localplatform::crashPoint("getNumber");
    if (!section || !key) return 0;
    const std::string path = localplatform::settingsFilePath();
    std::optional<std::string> text;
    if (const auto store = localplatform::storeIsOpen() ? localplatform::openedStore() : nullptr) {
        // Through the store's storage: a settings file in the store is
        // reached through no link, and a FIFO in its place is not waited on.
        // A store that is no folder on this host (object storage) holds
        // only what lies below its URL; a settings file named elsewhere is
        // on this host, read with the same care.
        localplatform::PosixStorage hostFiles;
        const std::string& root = store->directory();
        const bool onHost = !store->storage().capabilities().hostFolder &&
                            path.rfind(root + "/", 0) != 0;
        localplatform::Storage& storage = onHost ? hostFiles : store->storage();
        constexpr std::size_t kMaxSettingsSize = 1 << 20;
        std::string contents;
        localplatform::EntryStatus status;
        if (!storage.readSmallFile(path, kMaxSettingsSize, &contents, &status)) {
            if (errno == EINVAL || errno == ELOOP || errno == EFBIG) {
                localplatform::platformError(
                    "the settings file " + path + " is " +
                    (errno == EFBIG ? std::string("larger than 1 MiB")
                                    : errno == ELOOP ? std::string("a symbolic link")
                                                     : std::string(describeKind(status.kind))) +
                    "; its settings are not used");
            }
            return 0;
        }
        std::istringstream file(contents);
        text = lookUp(file, section, key);
    } else {
        std::ifstream file(path);
        if (!file) return 0;
        text = lookUp(file, section, key);
    }
    if (!text) return 0;
    unsigned long number = 0;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, number);
    if (text->empty() || error != std::errc() || stop != end) {
        localplatform::platformError(localplatform::formatText(
            "setting %s of [%s] in %s is not an unsigned decimal number: \"%s\"", key, section,
            path.c_str(), text->c_str()));
        return 0;
    }
    if (value) *value = number;
    return 1;
}

const char* ZebPlatformInfo::getPhysicalMachine() {
    m_physicalMachine = localplatform::configuration().physicalMachine;
    if (m_physicalMachine.empty()) {
        char name[HOST_NAME_MAX + 1] = {};
        m_physicalMachine = gethostname(name, sizeof name - 1) == 0 ? name : "localhost";
    }
    return m_physicalMachine.c_str();
}
