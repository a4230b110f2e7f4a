#include "jobs/backup/BackupManifest.h"

#include <ctime>

#include "jobs/backup/BackupChain.h"

namespace {

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc;
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A file the streams read: its shares, one per stream, in stream order.
void recordShares(ManifestFile& file, std::size_t i, const Manifest& manifest,
                  const BackupStreams& streams) {
    for (unsigned long k = 1; k <= manifest.archives.size(); ++k) {
        ManifestShare share;
        share.archive = manifest.archives[k - 1];
        share.sourceOffset = streams.partOffset(i, k);
        share.seekOffset = streams.archiveOffset(i, k);
        share.size = streams.partSize(i, k);
        share.sha256 = streams.partDigest(i, k);
        share.storedSize = streams.storedSize(i, k);
        share.storedSha256 = streams.storedDigest(i, k);
        file.shares.push_back(share);
    }
}

ManifestFile fileOf(const SetEntry& entry, const BackupSet& set,
                    const std::vector<const InputFile*>& read, Manifest& manifest,
                    const BackupStreams& streams, const Manifest* reference) {
    ManifestFile file;
    file.name = entry.name;
    file.kind = entry.kind;
    file.hasMtime = true;
    file.mode = entry.mode;
    file.mtime = entry.mtime;
    if (entry.kind == ManifestFile::Kind::Symlink) {
        file.mode = -1;
        file.target = entry.target;
        return file;
    }
    if (entry.kind == ManifestFile::Kind::Directory) return file;
    // A file named directly: its mode and time as it was opened.
    const InputFile& source =
        entry.named != SIZE_MAX ? *set.inputs[entry.named] : *set.treeInputs[entry.tree];
    file.mode = source.mode();
    file.mtime = source.mtime();
    // What tells a later backup that it is unchanged; a snapshot's bytes are
    // not the file's.
    if (entry.unchanged || read[entry.read] == &source) {
        file.hasIdentity = true;
        file.inode = source.identity().inode;
        file.ctime = source.identity().changedSeconds * 1000000000LL +
                     source.identity().changedNanoseconds;
    }
    if (entry.unchanged) return referringEntry(file, *entry.unchanged, *reference, manifest);
    const std::size_t i = entry.read;
    file.size = read[i]->size();
    file.sha256 = streams.fileDigest(i);
    recordShares(file, i, manifest, streams);
    return file;
}

}  // namespace

Manifest newManifest(unsigned long long jobId, bool treeOrStreamInput, const BackupKeys& keys) {
    Manifest manifest;
    manifest.jobId = jobId;
    manifest.createdAt = utcNow();
    if (treeOrStreamInput) manifest.version = 3;
    if (keys.stages) {
        manifest.version = 4;
        manifest.stages.framed = true;
        manifest.stages.codec = keys.stages->codec;
        manifest.stages.level = keys.stages->level;
        manifest.stages.frameSize = keys.stages->frameSize;
        manifest.stages.wrappedKey = keys.wrappedKey;
    }
    return manifest;
}

uint64_t recordSet(Manifest& manifest, const BackupSet& set,
                   const std::vector<const InputFile*>& read, const BackupStreams& streams,
                   const PipeInput* pipe, const Manifest* reference) {
    for (const SetEntry& entry : set.entries) {
        manifest.files.push_back(fileOf(entry, set, read, manifest, streams, reference));
    }
    // Every share of a job of format 5 records its stored size and digest.
    if (!manifest.references.empty()) manifest.version = 5;
    if (!pipe) return 0;
    manifest.files.push_back(streams.streamInputEntry(pipe->name(), manifest.archives));
    return manifest.files.back().size;
}
