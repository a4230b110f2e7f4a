#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a backup wrote, and all a restore needs: where each stream's archive
// file is and which part of the source it holds.
struct ManifestStream {
    unsigned long stream = 0;        // 1..N
    uint32_t trellanId = 0;          // the archive file's identity
    uint32_t groupNumber = 0;
    uint32_t afileId = 0;
    uint64_t sourceOffset = 0;       // where the stream's part starts in the source
    uint64_t seekOffset = 0;         // where it starts in the archive file
    uint64_t size = 0;               // bytes
    std::string sha256;
};

struct Manifest {
    unsigned long long jobId = 0;
    std::string sourceName;
    uint64_t sourceSize = 0;
    std::string sourceSha256;
    std::string createdAt;           // UTC, ISO 8601
    std::vector<ManifestStream> streams;
};

// An archive file's identity as the agent shows it: "trellan-group-afile".
std::string archiveFileName(uint32_t trellanId, uint32_t groupNumber, uint32_t afileId);

// Writes the manifest as JSON, atomically: the file appears complete or not
// at all. Throws AgentError.
void saveManifest(const Manifest& manifest, const std::string& path);
// Reads and checks a manifest. Throws AgentError (bad input) for a missing,
// unreadable, corrupt or foreign file, or one whose streams do not add up.
Manifest loadManifest(const std::string& path);
