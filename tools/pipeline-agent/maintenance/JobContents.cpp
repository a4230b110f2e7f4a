#include "maintenance/JobContents.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "base/AgentError.h"
#include "base/Console.h"
#include "session/StoreSession.h"
#include "manifest/StoredManifest.h"
#include "platform/local/JobManifest.h"
#include "report/TextTable.h"

namespace {

std::vector<localplatform::JobRecord> storeJobs(const localplatform::Config& config) {
    try {
        return localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
}

std::string octal(int mode) {
    if (mode < 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

}  // namespace

void printJobContents(const localplatform::Config& config, JsonReport& report,
                      unsigned long long job) {
    const auto jobs = storeJobs(config);
    std::vector<const localplatform::JobRecord*> chosen;
    for (const auto& each : jobs) {
        if (job != 0 ? each.jobId == job : each.state == "complete") chosen.push_back(&each);
    }
    if (job != 0 && chosen.empty()) {
        throw badInput("the store " + localplatform::storeDirectory() + " has no job " +
                       std::to_string(job));
    }
    // Each chosen job's copy of its manifest, when it is complete.
    std::vector<std::optional<Manifest>> manifests;
    bool anyFramed = false;
    for (const localplatform::JobRecord* each : chosen) {
        manifests.push_back(each->state == "complete" ? storedManifest(each->jobId)
                                                      : std::nullopt);
        anyFramed = anyFramed || (manifests.back() && manifests.back()->stages.framed);
    }
    // A STORED column only when a job's bytes went through stages: the rest
    // are stored as they are.
    const auto row = [anyFramed](std::vector<std::string> cells, const std::string& stored) {
        if (anyFramed) cells.insert(cells.begin() + 3, stored);
        return cells;
    };
    std::vector<std::vector<std::string>> rows;
    rows.push_back(row({"JOB", "FILE", "BYTES", "MODE", "SHA-256"}, "STORED"));
    nlohmann::ordered_json contents = nlohmann::ordered_json::array();
    std::size_t fileCount = 0;
    for (std::size_t j = 0; j < chosen.size(); ++j) {
        const localplatform::JobRecord* each = chosen[j];
        const std::string id = std::to_string(each->jobId);
        const std::optional<Manifest>& manifest = manifests[j];
        if (!manifest) {
            rows.push_back(row({id,
                                each->state == "complete" ? "(no manifest in the store)"
                                                          : "(" + each->state + ": no files)",
                                "-", "-", "-"},
                               "-"));
            contents.push_back({{"jobId", each->jobId},
                                {"state", each->state},
                                {"files", nullptr},
                                {"bytes", nullptr}});
            continue;
        }
        uint64_t bytes = 0;
        uint64_t storedBytes = 0;
        nlohmann::ordered_json files = nlohmann::ordered_json::array();
        for (const ManifestFile& file : manifest->files) {
            uint64_t stored = 0;
            for (const ManifestShare& share : file.shares) stored += share.storedSize;
            rows.push_back(row(
                {id, file.name, std::to_string(file.size), octal(file.mode), file.sha256},
                std::to_string(stored)));
            nlohmann::ordered_json entry = {{"name", file.name},
                                            {"size", file.size},
                                            {"mode", file.mode},
                                            {"sha256", file.sha256}};
            if (manifest->stages.framed) entry["storedBytes"] = stored;
            files.push_back(entry);
            bytes += file.size;
            storedBytes += stored;
        }
        fileCount += manifest->files.size();
        rows.push_back(row({id,
                            "(" + std::to_string(manifest->files.size()) + " file" +
                                (manifest->files.size() == 1 ? "" : "s") + " in all)",
                            std::to_string(bytes), "", ""},
                           std::to_string(storedBytes)));
        nlohmann::ordered_json job = {
            {"jobId", each->jobId}, {"state", each->state}, {"files", files}, {"bytes", bytes}};
        if (manifest->stages.framed) {
            job["storedBytes"] = storedBytes;
            job["compress"] = codecName(manifest->stages.codec);
            job["encrypted"] = manifest->stages.encrypted();
        }
        contents.push_back(job);
    }
    if (report.enabled()) {
        report.add({{"contents", contents}});
    } else if (anyFramed) {
        printRows(rows, {false, false, true, true, false, false});
    } else {
        printRows(rows, {false, false, true, false, false});
    }
    say("%zu job%s, %zu file%s", chosen.size(), chosen.size() == 1 ? "" : "s", fileCount,
        fileCount == 1 ? "" : "s");
}

std::vector<std::string> storedManifestProblems(const localplatform::Config& config) {
    std::vector<std::string> problems;
    for (const auto& job : storeJobs(config)) {
        if (job.state != "complete") continue;
        const std::string path = storedManifestPath(job.jobId);
        std::optional<Manifest> manifest;
        try {
            manifest = storedManifest(job.jobId);
        } catch (const AgentError& error) {
            problems.push_back("job " + std::to_string(job.jobId) +
                               "'s manifest in the store is unusable: " + error.what());
            continue;
        }
        // A job completed before stores kept manifests (by an earlier
        // release) has none, and lacks nothing.
        if (!manifest && !localplatform::manifestKeptAtCompletion(job.jobId)) continue;
        if (!manifest) {
            problems.push_back("job " + std::to_string(job.jobId) +
                               " is complete but the store keeps no manifest of it (" + path +
                               " is missing); it restores only from its manifest file");
            continue;
        }
        for (const ManifestArchive& archive : manifest->archives) {
            std::optional<localplatform::ArchiveFileRecord> record;
            try {
                record = localplatform::lookUpArchiveFile(archive.trellanId, archive.groupNumber,
                                                          archive.afileId);
            } catch (const localplatform::StoreError& error) {
                throwStoreError(error, config);
            }
            const std::string named = "the manifest " + path + " names archive file " +
                                      archiveFileName(archive) + " (stream " +
                                      std::to_string(archive.stream) + ")";
            if (!record) {
                problems.push_back(named + ", which the catalog does not know");
            } else if (record->jobId != job.jobId) {
                problems.push_back(named + ", which the catalog has as job " +
                                   std::to_string(record->jobId) + "'s");
            }
        }
    }
    return problems;
}
