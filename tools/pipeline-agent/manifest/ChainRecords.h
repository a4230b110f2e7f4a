#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

// What a manifest records of the chain a job belongs to ("backup"): the set
// it is a backup of, its kind, and which job it was compared with. A full
// job holds all of its data; a differential one was compared with the
// newest full of its set, an incremental one with the newest job of its
// set of any kind, and each holds only what changed since, referring to the
// jobs that hold the rest (the manifest's "references").

enum class BackupType { Full, Diff, Incr };

struct ManifestChain {
    std::string set;                     // the set's name, the same in every job of it
    BackupType type = BackupType::Full;
    unsigned long long reference = 0;    // the job compared with; 0 for a full
    unsigned long long full = 0;         // the full the chain starts from; 0 for a full
    unsigned long depth = 0;             // jobs since that full: 0 for a full
    bool operator==(const ManifestChain&) const = default;
};

// "full", "diff" or "incr", and back (nullopt for any other text).
const char* backupTypeName(BackupType type);
std::optional<BackupType> backupTypeOf(const std::string& text);

// The record as a manifest writes it, and back. The reader throws AgentError
// (bad input) naming `where` and the field that is missing or wrong.
nlohmann::json chainJson(const ManifestChain& chain);
ManifestChain chainOf(const nlohmann::json& object, const std::string& where);
