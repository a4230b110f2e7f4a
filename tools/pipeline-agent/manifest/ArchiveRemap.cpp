#include "manifest/ArchiveRemap.h"

#include <algorithm>

#include "base/AgentError.h"

namespace {

void remap(ManifestArchive& archive, const ArchiveMap& map) {
    const auto found = std::find_if(map.begin(), map.end(),
                                    [&](const auto& entry) { return entry.first == archive; });
    if (found == map.end()) {
        throw jobFailed("archive file " + archiveFileName(archive) + " of stream " +
                        std::to_string(archive.stream) + " has no counterpart in the copy");
    }
    archive = found->second;
}

}  // namespace

Manifest remapArchives(Manifest manifest, const ArchiveMap& map) {
    for (ManifestArchive& archive : manifest.archives) remap(archive, map);
    for (ManifestReference& reference : manifest.references) {
        for (ManifestArchive& archive : reference.archives) remap(archive, map);
    }
    for (ManifestFile& file : manifest.files) {
        for (ManifestShare& share : file.shares) remap(share.archive, map);
        for (ManifestPiece& piece : file.pieces) remap(piece.archive, map);
    }
    return manifest;
}
