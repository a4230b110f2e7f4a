#include "manifest/ClusterRecords.h"

#include <nlohmann/json.hpp>

#include "base/AgentError.h"

using nlohmann::json;

namespace {

const json& field(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end()) throw badInput(where + ": \"" + key + "\" is missing");
    return *it;
}

std::string text(const json& object, const char* key, const std::string& where) {
    const json& value = field(object, key, where);
    if (!value.is_string()) throw badInput(where + ": \"" + key + "\" is not a string");
    return value.get<std::string>();
}

uint64_t whole(const json& object, const char* key, const std::string& where) {
    const json& value = field(object, key, where);
    if (!value.is_number_unsigned()) {
        throw badInput(where + ": \"" + key + "\" is not a valid number");
    }
    return value.get<uint64_t>();
}

void requireObject(const json& object, const std::string& where) {
    if (!object.is_object()) throw badInput(where + " is not an object");
}

}  // namespace

json clusterJson(const ManifestCluster& c) {
    return {{"systemIdentifier", c.systemIdentifier},
            {"serverVersion", c.serverVersion},
            {"timeline", c.timeline},
            {"segmentSize", c.segmentSize},
            {"startLsn", c.startLsn},
            {"stopLsn", c.stopLsn},
            {"startWal", c.startWal},
            {"stopWal", c.stopWal},
            {"startedAt", c.startedAt},
            {"stoppedAt", c.stoppedAt},
            {"backupLabel", c.backupLabel},
            {"tablespaceMap", c.tablespaceMap},
            {"dataDirectory", c.dataDirectory},
            {"withWal", c.withWal}};
}

ManifestCluster clusterOf(const json& object, const std::string& where) {
    const std::string at = where + " postgres";
    requireObject(object, at);
    ManifestCluster c;
    c.systemIdentifier = text(object, "systemIdentifier", at);
    c.serverVersion = static_cast<int>(whole(object, "serverVersion", at));
    c.timeline = static_cast<unsigned long>(whole(object, "timeline", at));
    c.segmentSize = whole(object, "segmentSize", at);
    c.startLsn = text(object, "startLsn", at);
    c.stopLsn = text(object, "stopLsn", at);
    c.startWal = text(object, "startWal", at);
    c.stopWal = text(object, "stopWal", at);
    c.startedAt = text(object, "startedAt", at);
    c.stoppedAt = text(object, "stoppedAt", at);
    c.backupLabel = text(object, "backupLabel", at);
    c.tablespaceMap = text(object, "tablespaceMap", at);
    c.dataDirectory = text(object, "dataDirectory", at);
    const json& withWal = field(object, "withWal", at);
    if (!withWal.is_boolean()) throw badInput(at + ": \"withWal\" is not true or false");
    c.withWal = withWal.get<bool>();
    return c;
}

json walJson(const ManifestWal& wal) {
    json document = {{"systemIdentifier", wal.systemIdentifier},
                     {"segmentSize", wal.segmentSize}};
    if (!wal.histories.empty()) document["histories"] = wal.histories;
    return document;
}

ManifestWal walOf(const json& object, const std::string& where) {
    const std::string at = where + " wal";
    requireObject(object, at);
    ManifestWal wal;
    wal.systemIdentifier = text(object, "systemIdentifier", at);
    wal.segmentSize = whole(object, "segmentSize", at);
    if (const auto found = object.find("histories"); found != object.end()) {
        if (!found->is_object()) throw badInput(at + ": \"histories\" is not an object");
        for (const auto& [name, text] : found->items()) {
            if (!text.is_string()) throw badInput(at + ": history " + name + " is not text");
            wal.histories[name] = text.get<std::string>();
        }
    }
    return wal;
}
