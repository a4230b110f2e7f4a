#include "jobs/backup/Snapshots.h"

#include <chrono>
#include <cmath>

#include "base/AgentError.h"
#include "base/Console.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"

namespace {

std::string baseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

double milliRound(std::chrono::duration<double> seconds) {
    return std::round(seconds.count() * 1000) / 1000;
}

// Reads a database in WAL mode where it lies; false when it is to be
// copied instead.
bool holdDatabase(const std::string& file, std::chrono::milliseconds busyWait,
                  Snapshots& taken) {
    std::string whyNot;
    std::unique_ptr<SqliteWalImage> image;
    try {
        image = SqliteWalImage::take(file, busyWait, kHeldWalBytes, whyNot);
    } catch (const AgentError& error) {
        if (error.kind() == AgentError::Kind::Interrupted) throw;
        throw jobFailed(snapshotFailure(file, error.what()));
    }
    if (!image) {
        if (!whyNot.empty()) say("%s: %s; copying it instead", file.c_str(), whyNot.c_str());
        return false;
    }
    taken.images.push_back(std::move(image));
    const SqliteWalImage& held = *taken.images.back();
    taken.snapshotInputs.push_back(std::make_unique<InputFile>(file, held));
    taken.read.push_back(taken.snapshotInputs.back().get());
    say("%s: a SQLite database in WAL mode, backed up as one committed state where it lies, "
        "under a read transaction held until the job ends: no copy in the store, %llu bytes "
        "of its -wal in memory",
        file.c_str(), static_cast<unsigned long long>(held.heldBytes()));
    taken.json.push_back({{"name", baseName(file)},
                          {"bytes", 0},
                          {"walBytes", held.heldBytes()},
                          {"readSeconds", milliRound(held.took())}});
    return true;
}

void snapshotDatabase(const BackupOptions& options, const BackupSet& set, std::size_t i,
                      unsigned long long jobId, bool copiesInStore, Snapshots& taken) {
    const std::string& file = set.files[i];
    const std::chrono::milliseconds busyWait(options.sqliteBusyWaitMs);
    if (set.inputs[i]->sqliteWalMode() && holdDatabase(file, busyWait, taken)) return;
    const std::string directory = snapshotDirectory();
    taken.snapshots.push_back(
        std::make_unique<SqliteSnapshot>(file, directory, jobId, i + 1, busyWait));
    const SqliteSnapshot& snapshot = *taken.snapshots.back();
    taken.snapshotInputs.push_back(std::make_unique<InputFile>(snapshot.path()));
    taken.read.push_back(taken.snapshotInputs.back().get());
    const std::string where = copiesInStore ? "in the store" : "on this host, in " + directory + ",";
    say("%s: a SQLite database, backed up as one committed state: its snapshot takes "
        "%llu bytes %s until the job ends; the copy held a read transaction for %.3f s",
        file.c_str(), static_cast<unsigned long long>(snapshot.bytes()), where.c_str(),
        snapshot.held().count());
    taken.json.push_back({{"name", baseName(file)},
                          {"bytes", snapshot.bytes()},
                          {"readSeconds", milliRound(snapshot.held())}});
}

}  // namespace

Snapshots takeSnapshots(const BackupOptions& options, const BackupSet& set,
                        unsigned long long jobId, bool copiesInStore) {
    Snapshots taken;
    try {
        for (std::size_t i = 0; i < set.inputs.size(); ++i) {
            if (options.raw || !set.inputs[i]->sqliteDatabase()) {
                taken.read.push_back(set.inputs[i].get());
                continue;
            }
            snapshotDatabase(options, set, i, jobId, copiesInStore, taken);
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
