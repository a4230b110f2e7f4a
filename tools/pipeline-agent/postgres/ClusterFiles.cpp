// Which entries of a cluster's data directory and tablespaces a base backup
// copies, and which of its files are relation files.

#include "postgres/ClusterFiles.h"

#include <algorithm>
#include <array>

namespace {

// Files of the data directory's top that belong to another backup, to the
// running server, or to a write in progress.
constexpr std::array<std::string_view, 7> kTopFilesLeftOut = {
    "postmaster.pid", "postmaster.opts", "backup_label",         "tablespace_map",
    "backup_manifest", "postgresql.auto.conf.tmp", "current_logfiles.tmp"};

// Directories of the data directory's top taken without their entries: the
// server empties or remakes them as it starts, the WAL comes from the
// archive (pg_xlog before PostgreSQL 10), and the links in pg_tblspc are
// remade from the backup's tablespace_map.
constexpr std::array<std::string_view, 10> kTopDirectoriesTakenEmpty = {
    "pg_stat_tmp", "pg_replslot", "pg_dynshmem", "pg_notify", "pg_serial",
    "pg_snapshots", "pg_subtrans", "pg_wal", "pg_xlog", "pg_tblspc"};

constexpr std::string_view kTemporaryPrefix = "pgsql_tmp";
constexpr std::string_view kRelationCachePrefix = "pg_internal.init";

template <std::size_t N>
bool among(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string_view> partsOf(std::string_view path) {
    std::vector<std::string_view> parts;
    while (true) {
        const auto slash = path.find('/');
        parts.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos) return parts;
        path.remove_prefix(slash + 1);
    }
}

bool isWalDirectory(std::string_view name) { return name == "pg_wal" || name == "pg_xlog"; }

// A temporary relation's file: "t" backend "_" relation, then a fork and a
// segment as a permanent one's.
bool isTemporaryRelation(std::string_view name) {
    if (name.size() < 4 || name[0] != 't') return false;
    const auto underscore = name.find('_');
    if (underscore == std::string_view::npos || !allDigits(name.substr(1, underscore - 1))) {
        return false;
    }
    return relationFileNamed(name.substr(underscore + 1)).has_value();
}

}  // namespace

std::uint32_t RelationFile::firstBlock(std::uint32_t segmentBlocks) const {
    return segment * segmentBlocks;
}

std::optional<RelationFile> relationFileNamed(std::string_view name) {
    RelationFile file{"", "", 0};
    const auto digits = std::min(name.find_first_not_of("0123456789"), name.size());
    if (digits == 0) return std::nullopt;
    file.relation = std::string(name.substr(0, digits));
    name.remove_prefix(digits);
    for (const std::string_view fork : {"fsm", "vm", "init"}) {
        if (name.size() > fork.size() && name[0] == '_' && name.substr(1, fork.size()) == fork &&
            (name.size() == fork.size() + 1 || name[fork.size() + 1] == '.')) {
            file.fork = std::string(fork);
            name.remove_prefix(fork.size() + 1);
            break;
        }
    }
    if (name.empty()) return file;
    if (name[0] != '.' || !allDigits(name.substr(1)) || name[1] == '0' || name.size() > 11) {
        return std::nullopt;
    }
    const unsigned long long segment = std::stoull(std::string(name.substr(1)));
    if (segment > UINT32_MAX) return std::nullopt;
    file.segment = static_cast<std::uint32_t>(segment);
    return file;
}

std::set<std::string> unloggedRelationsIn(const std::vector<std::string>& namesInDirectory) {
    std::set<std::string> unlogged;
    for (const std::string& name : namesInDirectory) {
        const auto file = relationFileNamed(name);
        if (file && file->fork == "init") unlogged.insert(file->relation);
    }
    return unlogged;
}

ClusterFiles ClusterFiles::dataDirectory() { return ClusterFiles(""); }

ClusterFiles ClusterFiles::tablespace(std::string versionDirectory) {
    return ClusterFiles(std::move(versionDirectory));
}

bool ClusterFiles::isDatabaseDirectory(std::string_view relativeDirectory) const {
    const auto parts = partsOf(relativeDirectory);
    const std::string_view parent =
        m_versionDirectory.empty() ? std::string_view("base") : std::string_view(m_versionDirectory);
    return parts.size() == 2 && parts[0] == parent && allDigits(parts[1]);
}

bool ClusterFiles::kept(std::string_view relativePath, bool isDirectory,
                        const std::set<std::string>& unloggedRelations) const {
    const auto parts = partsOf(relativePath);
    for (const std::string_view part : parts) {
        if (part.starts_with(kTemporaryPrefix)) return false;
    }
    const std::string_view name = parts.back();
    if (name.starts_with(kRelationCachePrefix)) return false;

    if (m_versionDirectory.empty()) {
        if (parts.size() == 1) return !among(kTopFilesLeftOut, name);
        if (among(kTopDirectoriesTakenEmpty, parts[0])) {
            return isWalDirectory(parts[0]) && parts.size() == 2 && parts[1] == "archive_status" &&
                   isDirectory;
        }
    } else {
        if (parts[0] != m_versionDirectory) return false;
        if (parts.size() == 1) return isDirectory;
    }

    if (parts.size() == 3 && isDatabaseDirectory(relativePath.substr(0, relativePath.rfind('/')))) {
        if (isTemporaryRelation(name)) return false;
        const auto file = relationFileNamed(name);
        if (file && file->fork != "init" && unloggedRelations.count(file->relation) != 0) {
            return false;
        }
    }
    return true;
}

bool ClusterFiles::takenEmpty(std::string_view relativePath) const {
    if (!m_versionDirectory.empty()) return false;
    const auto parts = partsOf(relativePath);
    if (parts.size() == 1) return among(kTopDirectoriesTakenEmpty, parts[0]);
    return parts.size() == 2 && isWalDirectory(parts[0]) && parts[1] == "archive_status";
}

bool ClusterFiles::copiedLast(std::string_view relativePath) const {
    return m_versionDirectory.empty() && relativePath == "global/pg_control";
}

std::optional<RelationFile> ClusterFiles::relationFile(std::string_view relativePath) const {
    const auto slash = relativePath.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view directory = relativePath.substr(0, slash);
    const bool global = m_versionDirectory.empty() && directory == "global";
    if (!global && !isDatabaseDirectory(directory)) return std::nullopt;
    return relationFileNamed(relativePath.substr(slash + 1));
}
