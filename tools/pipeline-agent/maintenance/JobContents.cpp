#include "maintenance/JobContents.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "base/AgentError.h"
#include "base/Console.h"
#include "manifest/StoredManifest.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/JobManifest.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"
#include "report/TextTable.h"
#include "session/StoreSession.h"

namespace {

// The store's jobs; throws AgentError when the catalog cannot be read.
std::vector<localplatform::JobRecord> storeJobs(const localplatform::Config& config) {
    try {
        return localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
}

// A mode as list shows it: "0644", or "-" when not recorded.
std::string octal(int mode) {
    if (mode < 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

// The jobs to show: job `job` alone, or every complete job (job 0). Throws
// bad input for a job the store does not have.
std::vector<const localplatform::JobRecord*> chosenJobs(
    const std::vector<localplatform::JobRecord>& jobs, unsigned long long job) {
    std::vector<const localplatform::JobRecord*> chosen;
    for (const auto& each : jobs) {
        if (job != 0 ? each.jobId == job : each.state == "complete") chosen.push_back(&each);
    }
    if (job != 0 && chosen.empty()) {
        throw badInput("the store " + localplatform::storeDirectory() + " has no job " +
                       std::to_string(job));
    }
    return chosen;
}

// Each chosen job's copy of its manifest, when it is complete.
std::vector<std::optional<Manifest>> chosenManifests(
    const std::vector<const localplatform::JobRecord*>& chosen) {
    std::vector<std::optional<Manifest>> manifests;
    for (const localplatform::JobRecord* each : chosen) {
        manifests.push_back(each->state == "complete" ? storedManifest(each->jobId) : std::nullopt);
    }
    return manifests;
}

// Whether any of the jobs' bytes went through stages.
bool anyFramed(const std::vector<std::optional<Manifest>>& manifests) {
    return std::any_of(manifests.begin(), manifests.end(),
                       [](const auto& manifest) { return manifest && manifest->stages.framed; });
}

// The table that list --files prints and the report's "contents", built
// job by job.
class ContentsTable {
public:
    // framed: a STORED column, only when a job's bytes went through stages:
    // the rest are stored as they are.
    explicit ContentsTable(bool framed) : m_framed(framed) {
        m_rows.push_back(row({"JOB", "FILE", "BYTES", "MODE", "SHA-256"}, "STORED"));
    }

    // A job without files to show: not complete, or without its copy.
    void addMissing(const localplatform::JobRecord& job) {
        m_rows.push_back(row({std::to_string(job.jobId),
                              job.state == "complete" ? "(no manifest in the store)"
                                                      : "(" + job.state + ": no files)",
                              "-", "-", "-"},
                             "-"));
        m_contents.push_back(
            {{"jobId", job.jobId}, {"state", job.state}, {"files", nullptr}, {"bytes", nullptr}});
    }

    // A job's files, a row each, and its total row.
    void addJob(const localplatform::JobRecord& job, const Manifest& manifest) {
        const std::string id = std::to_string(job.jobId);
        uint64_t bytes = 0;
        uint64_t storedBytes = 0;
        nlohmann::ordered_json files = nlohmann::ordered_json::array();
        for (const ManifestFile& file : manifest.files) {
            const uint64_t stored = addFile(id, file, manifest.stages.framed, files);
            bytes += file.size;
            storedBytes += stored;
        }
        m_files += manifest.files.size();
        m_rows.push_back(row({id,
                              "(" + std::to_string(manifest.files.size()) + " file" +
                                  (manifest.files.size() == 1 ? "" : "s") + " in all)",
                              std::to_string(bytes), "", ""},
                             std::to_string(storedBytes)));
        nlohmann::ordered_json entry = {
            {"jobId", job.jobId}, {"state", job.state}, {"files", files}, {"bytes", bytes}};
        if (manifest.stages.framed) {
            entry["storedBytes"] = storedBytes;
            entry["compress"] = codecName(manifest.stages.codec);
            entry["encrypted"] = manifest.stages.encrypted();
        }
        m_contents.push_back(entry);
    }

    // Adds the contents to an enabled report, or prints the table.
    void show(JsonReport& report) const {
        if (report.enabled()) {
            report.add({{"contents", m_contents}});
        } else if (m_framed) {
            printRows(m_rows, {false, false, true, true, false, false});
        } else {
            printRows(m_rows, {false, false, true, false, false});
        }
    }

    // How many files the jobs added hold.
    std::size_t files() const { return m_files; }

private:
    // One file's row and report entry; returns its stored bytes.
    uint64_t addFile(const std::string& id, const ManifestFile& file, bool framed,
                     nlohmann::ordered_json& files) {
        uint64_t stored = 0;
        for (const ManifestShare& share : file.shares) stored += share.storedSize;
        m_rows.push_back(
            row({id, file.name, std::to_string(file.size), octal(file.mode), file.sha256},
                std::to_string(stored)));
        nlohmann::ordered_json entry = {
            {"name", file.name}, {"size", file.size}, {"mode", file.mode}, {"sha256", file.sha256}};
        if (framed) entry["storedBytes"] = stored;
        files.push_back(entry);
        return stored;
    }

    // A row, with its STORED cell after BYTES when the table has one.
    std::vector<std::string> row(std::vector<std::string> cells, const std::string& stored) const {
        if (m_framed) cells.insert(cells.begin() + 3, stored);
        return cells;
    }

    const bool m_framed;
    std::vector<std::vector<std::string>> m_rows;
    nlohmann::ordered_json m_contents = nlohmann::ordered_json::array();
    std::size_t m_files = 0;
};

}  // namespace

void printJobContents(const localplatform::Config& config, JsonReport& report,
                      unsigned long long job) {
    const auto jobs = storeJobs(config);
    const std::vector<const localplatform::JobRecord*> chosen = chosenJobs(jobs, job);
    const std::vector<std::optional<Manifest>> manifests = chosenManifests(chosen);
    ContentsTable table(anyFramed(manifests));
    for (std::size_t j = 0; j < chosen.size(); ++j) {
        if (manifests[j]) {
            table.addJob(*chosen[j], *manifests[j]);
        } else {
            table.addMissing(*chosen[j]);
        }
    }
    table.show(report);
    say("%zu job%s, %zu file%s", chosen.size(), chosen.size() == 1 ? "" : "s", table.files(),
        table.files() == 1 ? "" : "s");
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
