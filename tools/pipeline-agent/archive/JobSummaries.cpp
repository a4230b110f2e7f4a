#include "archive/JobSummaries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "platform/local/StoreSession.h"

using nlohmann::json;

JobSummary summaryOf(const Manifest& manifest) {
    JobSummary summary;
    summary.createdAt = manifest.createdAt;
    summary.cluster = manifest.cluster;
    summary.wal = manifest.wal;
    summary.chain = manifest.chain;
    for (const ManifestReference& reference : manifest.references) {
        summary.references.push_back(reference.jobId);
    }
    if (manifest.wal) {
        for (const ManifestFile& file : manifest.files) {
            summary.files.push_back({file.name, file.size, file.sha256});
        }
    }
    return summary;
}

JobSummaries JobSummaries::ofOpenStore() {
    return JobSummaries(localplatform::storeHostDirectory() + "/wal-cache");
}

std::optional<JobSummary> JobSummaries::load(unsigned long long jobId) const {
    std::ifstream in(m_directory + "/" + std::to_string(jobId) + ".json", std::ios::binary);
    if (!in) return std::nullopt;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        const json document = json::parse(text);
        JobSummary summary;
        summary.createdAt = document.at("createdAt").get<std::string>();
        const std::string where = "job summary " + std::to_string(jobId);
        if (document.contains("postgres")) summary.cluster = clusterOf(document["postgres"], where);
        if (document.contains("wal")) summary.wal = walOf(document["wal"], where);
        // Kept before summaries told the chain: read from the manifest again.
        if (!document.contains("references")) return std::nullopt;
        if (document.contains("backup")) summary.chain = chainOf(document["backup"], where);
        for (const json& job : document.at("references")) {
            summary.references.push_back(job.get<unsigned long long>());
        }
        for (const json& file : document.at("files")) {
            summary.files.push_back({file.at(0).get<std::string>(), file.at(1).get<uint64_t>(),
                                     file.at(2).get<std::string>()});
        }
        return summary;
    } catch (const std::exception&) {
        return std::nullopt;  // read from the manifest again
    }
}

void JobSummaries::save(unsigned long long jobId, const JobSummary& summary) const noexcept {
    try {
        json files = json::array();
        for (const JobSummary::File& file : summary.files) {
            files.push_back(json::array({file.name, file.size, file.sha256}));
        }
        json document = {{"createdAt", summary.createdAt}, {"files", files}};
        if (summary.cluster) document["postgres"] = clusterJson(*summary.cluster);
        if (summary.wal) document["wal"] = walJson(*summary.wal);
        if (summary.chain) document["backup"] = chainJson(*summary.chain);
        document["references"] = summary.references;
        const std::string text = document.dump();
        ::mkdir(m_directory.c_str(), 0700);
        const std::string path = m_directory + "/" + std::to_string(jobId) + ".json";
        const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              0600);
        if (fd < 0) return;
        const bool written = ::write(fd, text.data(), text.size()) ==
                             static_cast<ssize_t>(text.size());
        ::close(fd);
        if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) ::unlink(temporary.c_str());
    } catch (...) {
        // A cache: not kept.
    }
}
