#include "jobs/backup/Snapshots.h"

#include <chrono>
#include <cmath>

#include "base/Console.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"

namespace {

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void snapshotDatabase(const BackupOptions& options, const BackupSet& set, std::size_t i,
                      unsigned long long jobId, Snapshots& taken) {
    const std::string& file = set.files[i];
    taken.snapshots.push_back(std::make_unique<SqliteSnapshot>(
        file, localplatform::storeDirectory() + "/tmp", jobId, i + 1,
        std::chrono::milliseconds(options.sqliteBusyWaitMs)));
    const SqliteSnapshot& snapshot = *taken.snapshots.back();
    taken.snapshotInputs.push_back(std::make_unique<InputFile>(snapshot.path()));
    taken.read.push_back(taken.snapshotInputs.back().get());
    say("%s: a SQLite database, backed up as one committed state: its snapshot takes "
        "%llu bytes in the store until the job ends; the copy held a read transaction "
        "for %.3f s",
        file.c_str(), static_cast<unsigned long long>(snapshot.bytes()),
        snapshot.held().count());
    taken.json.push_back({{"name", baseName(file)},
                          {"bytes", snapshot.bytes()},
                          {"readSeconds", std::round(snapshot.held().count() * 1000) / 1000}});
}

}  // namespace

Snapshots takeSnapshots(const BackupOptions& options, const BackupSet& set,
                        unsigned long long jobId) {
    Snapshots taken;
    try {
        for (std::size_t i = 0; i < set.inputs.size(); ++i) {
            if (options.raw || !set.inputs[i]->sqliteDatabase()) {
                taken.read.push_back(set.inputs[i].get());
                continue;
            }
            snapshotDatabase(options, set, i, jobId, taken);
        }
    } catch (...) {
        localplatform::failJob(jobId);
        throw;
    }
    return taken;
}

std::vector<const InputFile*> readList(const BackupSet& set, const Snapshots& snapshots) {
    std::vector<const InputFile*> list;
    for (const SetEntry& entry : set.entries) {
        if (entry.kind != ManifestFile::Kind::File || entry.unchanged) continue;
        list.push_back(entry.named != SIZE_MAX ? snapshots.read[entry.named]
                                               : set.treeInputs[entry.tree].get());
    }
    return list;
}
