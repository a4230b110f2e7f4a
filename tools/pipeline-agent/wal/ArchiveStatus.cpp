#include "wal/ArchiveStatus.h"

#include <algorithm>
#include <string_view>
#include <system_error>

#include "base/AgentError.h"
#include "wal/WalFileName.h"

namespace {

constexpr std::string_view kReadySuffix = ".ready";

// History files sort before everything else, then names compare as bytes.
bool archivedBefore(const WalFileName& left, const WalFileName& right) {
    const bool leftHistory = left.kind == WalFileKind::TimelineHistory;
    const bool rightHistory = right.kind == WalFileKind::TimelineHistory;
    if (leftHistory != rightHistory) return leftHistory;
    return left.text < right.text;
}

}  // namespace

std::vector<std::string> walFilesReadyForArchive(const std::filesystem::path& pgWal,
                                                 std::size_t limit) {
    namespace fs = std::filesystem;
    const fs::path statusDirectory = pgWal / "archive_status";
    std::error_code error;
    if (!fs::is_directory(statusDirectory, error)) {
        throw badInput(statusDirectory.string() +
                       " is not a directory: is " + pgWal.string() + " a cluster's pg_wal?");
    }
    std::vector<WalFileName> ready;
    fs::directory_iterator entries(statusDirectory, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        if (name.size() <= kReadySuffix.size() ||
            std::string_view(name).substr(name.size() - kReadySuffix.size()) != kReadySuffix) {
            continue;
        }
        auto parsed = parseWalFileName(
            std::string_view(name).substr(0, name.size() - kReadySuffix.size()));
        if (parsed) ready.push_back(std::move(*parsed));
    }
    if (error) {
        throw jobFailed("could not read " + statusDirectory.string() + ": " + error.message());
    }
    std::sort(ready.begin(), ready.end(), archivedBefore);
    if (ready.size() > limit) ready.resize(limit);
    std::vector<std::string> names;
    names.reserve(ready.size());
    for (WalFileName& file : ready) names.push_back(std::move(file.text));
    return names;
}
