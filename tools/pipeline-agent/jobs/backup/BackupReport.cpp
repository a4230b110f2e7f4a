#include "jobs/backup/BackupReport.h"

#include <cmath>
#include <numeric>

#include "base/Console.h"
#include "base/RelativePath.h"
#include "report/ProgressLine.h"

namespace {

// "FILES and NAME (the output of the producer)": what the job backs up.
std::string withPipeInput(const std::string& files, std::size_t fileCount,
                          const PipeSource& stream) {
    const std::string name =
        stream.name + (stream.standardInput ? " (standard input)" : " (the producer's output)");
    return fileCount == 0 ? name : files + " and " + name;
}

uint64_t storedTotal(const std::vector<uint64_t>& written) {
    return std::accumulate(written.begin(), written.end(), uint64_t{0});
}

nlohmann::ordered_json filesJson(const Manifest& manifest) {
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const ManifestFile& f : manifest.files) {
        if (f.kind == ManifestFile::Kind::Directory) {
            files.push_back({{"name", f.name}, {"kind", "directory"}, {"mode", f.mode}});
        } else if (f.kind == ManifestFile::Kind::Symlink) {
            files.push_back({{"name", f.name}, {"kind", "symlink"}, {"target", f.target}});
        } else {
            files.push_back(
                {{"name", f.name}, {"size", f.size}, {"mode", f.mode}, {"sha256", f.sha256}});
        }
    }
    return files;
}

}  // namespace

std::string describeSet(const BackupOptions& options, const BackupSet& set,
                        std::size_t filesRead, uint64_t bytes) {
    std::string what;
    if (!options.postgres.empty()) {
        what = "the PostgreSQL cluster's data directory " +
               printablePath(set.entries.empty() ? std::string() : set.entries[0].name) + ": " +
               std::to_string(filesRead) + " files";
    } else if (set.trees == 0 && filesRead < set.inputs.size()) {
        // An incremental backup that reads only the files that changed.
        what = std::to_string(filesRead) + " of " + std::to_string(set.inputs.size()) + " files";
    } else if (set.trees == 0) {
        what = set.inputs.size() == 1 ? options.inputs[0]
                                       : std::to_string(set.inputs.size()) + " files";
    } else {
        what = (options.inputs.size() == 1 ? printablePath(options.inputs[0])
                                           : std::to_string(options.inputs.size()) + " inputs") +
               ": " + std::to_string(filesRead) + " files";
    }
    what += " (" + std::to_string(bytes) + " bytes)";
    if (options.pipe.given()) what = withPipeInput(what, set.entries.size(), options.pipe);
    return what;
}

void sayBackupStarts(const std::string& what, unsigned long streams, unsigned long long jobId,
                     const std::string& store) {
    const char* streamsWord = streams == 1 ? "stream" : "streams";
    say("backing up %s over %lu %s as job %llu into %s", what.c_str(), streams, streamsWord,
        jobId, store.c_str());
    say("setting up %lu %s; each pauses 2 s after its archive file is created, while the "
        "streams set up before it write",
        streams, streamsWord);
}

void sayBackupComplete(const std::string& manifestPath, uint64_t bytes, double seconds,
                       const std::optional<JobStages>& stages,
                       const std::vector<uint64_t>& written) {
    const std::string size = formatBytes(static_cast<double>(bytes));
    const std::string rate =
        formatBytes(seconds > 0 ? static_cast<double>(bytes) / seconds : 0);
    if (stages) {
        say("backup complete: manifest %s (%s in %.1f s, %s/s; stored %s, %s%s)",
            manifestPath.c_str(), size.c_str(), seconds, rate.c_str(),
            formatBytes(static_cast<double>(storedTotal(written))).c_str(),
            codecName(stages->codec), stages->key ? ", encrypted" : "");
    } else {
        say("backup complete: manifest %s (%s in %.1f s, %s/s)", manifestPath.c_str(),
            size.c_str(), seconds, rate.c_str());
    }
}

nlohmann::ordered_json backupResultJson(const Manifest& manifest, uint64_t bytes, double seconds,
                                        const std::optional<JobStages>& stages,
                                        const std::vector<uint64_t>& written,
                                        const nlohmann::ordered_json& snapshots) {
    nlohmann::ordered_json archives = nlohmann::ordered_json::array();
    for (const ManifestArchive& a : manifest.archives) {
        archives.push_back({{"stream", a.stream},
                            {"trellanId", a.trellanId},
                            {"groupNumber", a.groupNumber},
                            {"afileId", a.afileId},
                            {"size", written[a.stream - 1]}});
    }
    nlohmann::ordered_json result = {{"files", filesJson(manifest)},
                                     {"bytes", bytes},
                                     {"seconds", std::round(seconds * 1000) / 1000},
                                     {"archiveFiles", archives}};
    if (stages) {
        result["storedBytes"] = storedTotal(written);
        result["compress"] = codecName(stages->codec);
        result["encrypted"] = stages->key.has_value();
    }
    if (!snapshots.empty()) result["sqliteSnapshots"] = snapshots;
    return result;
}
