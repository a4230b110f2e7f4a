#include "manifest/ChainRecords.h"

#include <nlohmann/json.hpp>

#include "base/AgentError.h"

using nlohmann::json;

namespace {

unsigned long long jobField(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_unsigned()) {
        throw badInput(where + ": \"" + key + "\" is missing or not a job id");
    }
    return it->get<unsigned long long>();
}

}  // namespace

const char* backupTypeName(BackupType type) {
    switch (type) {
    case BackupType::Diff: return "diff";
    case BackupType::Incr: return "incr";
    default: return "full";
    }
}

std::optional<BackupType> backupTypeOf(const std::string& text) {
    if (text == "full") return BackupType::Full;
    if (text == "diff") return BackupType::Diff;
    if (text == "incr") return BackupType::Incr;
    return std::nullopt;
}

json chainJson(const ManifestChain& chain) {
    json object = {{"set", chain.set}, {"type", backupTypeName(chain.type)}};
    if (chain.type != BackupType::Full) {
        object["reference"] = chain.reference;
        object["full"] = chain.full;
        object["depth"] = chain.depth;
    }
    return object;
}

ManifestChain chainOf(const json& object, const std::string& where) {
    const std::string at = where + " backup";
    if (!object.is_object()) throw badInput(at + " is not an object");
    ManifestChain chain;
    const auto set = object.find("set");
    if (set == object.end() || !set->is_string() || set->get<std::string>().empty()) {
        throw badInput(at + ": \"set\" is missing or empty");
    }
    chain.set = set->get<std::string>();
    const auto type = object.find("type");
    const auto known = type != object.end() && type->is_string()
                           ? backupTypeOf(type->get<std::string>())
                           : std::nullopt;
    if (!known) throw badInput(at + ": \"type\" is missing or not full, diff or incr");
    chain.type = *known;
    if (chain.type == BackupType::Full) return chain;
    chain.reference = jobField(object, "reference", at);
    chain.full = jobField(object, "full", at);
    chain.depth = static_cast<unsigned long>(jobField(object, "depth", at));
    if (chain.reference == 0 || chain.full == 0 || chain.depth == 0) {
        throw badInput(at + ": a " + backupTypeName(chain.type) +
                       " job names its reference and its full, and lies past the full");
    }
    return chain;
}
