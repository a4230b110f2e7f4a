#include "Manifest.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <limits>

#include "AgentError.h"
#include "OutputFile.h"
#include "restore/RestorePipelineSetup.h"

using nlohmann::json;

namespace {

constexpr const char* kFormat = "pipeline-agent-manifest";
constexpr int kVersion = 1;

bool isSha256(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

template <typename T>
T number(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_unsigned() ||
        it->get<unsigned long long>() > std::numeric_limits<T>::max()) {
        throw badInput(where + ": \"" + key + "\" is missing or not a valid number");
    }
    return it->get<T>();
}

std::string digest(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string() || !isSha256(it->get<std::string>())) {
        throw badInput(where + ": \"" + key + "\" is missing or not a SHA-256 digest");
    }
    return it->get<std::string>();
}

}  // namespace

std::string archiveFileName(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId) {
    return std::to_string(trellanId) + "-" + std::to_string(groupNumber) + "-" +
           std::to_string(afileId);
}

void saveManifest(const Manifest& manifest, const std::string& path) {
    json streams = json::array();
    for (const ManifestStream& s : manifest.streams) {
        streams.push_back({{"stream", s.stream},
                           {"trellanId", s.trellanId},
                           {"groupNumber", s.groupNumber},
                           {"afileId", s.afileId},
                           {"sourceOffset", s.sourceOffset},
                           {"seekOffset", s.seekOffset},
                           {"size", s.size},
                           {"sha256", s.sha256}});
    }
    const json document = {{"format", kFormat},
                           {"version", kVersion},
                           {"jobId", manifest.jobId},
                           {"createdAt", manifest.createdAt},
                           {"source",
                            {{"name", manifest.sourceName},
                             {"size", manifest.sourceSize},
                             {"sha256", manifest.sourceSha256}}},
                           {"streams", streams}};
    OutputFile file(path, OutputFile::Options{});
    file.append(document.dump(2) + "\n");
    file.commit();
}

Manifest loadManifest(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw badInput("cannot read manifest " + path);
    json document;
    try {
        document = json::parse(in);
    } catch (const json::parse_error& error) {
        throw badInput("manifest " + path + " is corrupt: " + error.what());
    }
    if (!document.is_object() || document.value("format", "") != kFormat) {
        throw badInput(path + " is not a pipeline-agent manifest");
    }
    if (document.value("version", 0) != kVersion) {
        throw badInput("manifest " + path + " has a version this agent does not know");
    }

    const std::string where = "manifest " + path;
    Manifest manifest;
    manifest.jobId = number<unsigned long long>(document, "jobId", where);
    manifest.createdAt = document.value("createdAt", "");
    const auto source = document.find("source");
    if (source == document.end() || !source->is_object()) {
        throw badInput(where + ": \"source\" is missing");
    }
    manifest.sourceName = source->value("name", "");
    manifest.sourceSize = number<uint64_t>(*source, "size", where + " source");
    manifest.sourceSha256 = digest(*source, "sha256", where + " source");

    const auto streams = document.find("streams");
    if (streams == document.end() || !streams->is_array() || streams->empty()) {
        throw badInput(where + " names no streams");
    }
    if (streams->size() > RestorePipelineSetup::kMaxStreams) {
        throw badInput(where + " names " + std::to_string(streams->size()) +
                       " streams; at most " +
                       std::to_string(RestorePipelineSetup::kMaxStreams) + " can be restored");
    }
    uint64_t nextOffset = 0;
    for (const json& entry : *streams) {
        const std::string at = where + " stream " + std::to_string(manifest.streams.size() + 1);
        if (!entry.is_object()) throw badInput(at + " is not an object");
        ManifestStream s;
        s.stream = number<unsigned long>(entry, "stream", at);
        s.trellanId = number<uint32_t>(entry, "trellanId", at);
        s.groupNumber = number<uint32_t>(entry, "groupNumber", at);
        s.afileId = number<uint32_t>(entry, "afileId", at);
        s.sourceOffset = number<uint64_t>(entry, "sourceOffset", at);
        s.seekOffset = number<uint64_t>(entry, "seekOffset", at);
        s.size = number<uint64_t>(entry, "size", at);
        s.sha256 = digest(entry, "sha256", at);
        if (s.stream != manifest.streams.size() + 1 || s.sourceOffset != nextOffset ||
            s.size > manifest.sourceSize - nextOffset) {
            throw badInput(at +
                           " is out of order, leaves a gap or runs past the end of the source");
        }
        nextOffset += s.size;
        manifest.streams.push_back(s);
    }
    if (nextOffset != manifest.sourceSize) {
        throw badInput(where + ": the streams hold " + std::to_string(nextOffset) +
                       " bytes, the source " + std::to_string(manifest.sourceSize));
    }
    return manifest;
}
