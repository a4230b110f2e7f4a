#include "jobs/backup/BackupManifest.h"

#include <algorithm>

#include "base/UtcTime.h"
#include "jobs/backup/BackupChain.h"
#include "jobs/backup/BlockChanges.h"
#include "manifest/PartsDigest.h"

namespace {

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
        share.frames = streams.partFrames(i, k);
        file.shares.push_back(share);
    }
}

// A file compared block by block (changes): the blocks it kept, as pieces of
// the jobs that hold them, and those the streams stored, as its own pieces;
// the digests of the blocks stored as the streams read them, of the others
// as the first pass did (the same as the job compared with recorded).
void recordPieces(ManifestFile& file, std::size_t i, const BlockChanges& changes,
                  const Manifest& reference, Manifest& manifest, const BackupStreams& streams) {
    file.sha256 = changes.sha256;
    file.blockSize = changes.blockSize;
    file.blocks = changes.digests;
    const std::string stored = streams.blockDigests(i);
    std::size_t next = 0;  // of the blocks stored
    for (const FileExtent& extent : changes.plan.changed) {
        for (uint64_t at = extent.offset; at < extent.offset + extent.length;
             at += changes.blockSize) {
            file.blocks.replace(at / changes.blockSize * 64, 64, stored, next++ * 64, 64);
        }
    }
    for (const ManifestPiece& kept : changes.plan.kept) {
        file.pieces.push_back(kept);
        referTo(kept.heldBy, reference, manifest);
    }
    for (unsigned long k = 1; k <= manifest.archives.size(); ++k) {
        for (const BackupStreams::StoredPiece& own : streams.storedPieces(i, k)) {
            ManifestPiece piece;
            piece.archive = manifest.archives[k - 1];
            piece.sourceOffset = own.sourceOffset;
            piece.seekOffset = streams.archiveOffset(i, k) + own.partOffset;
            piece.size = own.size;
            piece.storedSize = own.storedSize;
            piece.frameIndex = own.frameIndex;
            piece.frames = own.frames;
            piece.sha256 = own.sha256;
            piece.storedSha256 = own.storedSha256;
            file.pieces.push_back(std::move(piece));
        }
    }
    std::sort(file.pieces.begin(), file.pieces.end(),
              [](const ManifestPiece& a, const ManifestPiece& b) {
                  return a.sourceOffset < b.sourceOffset;
              });
}

ManifestFile fileOf(const SetEntry& entry, const BackupSet& set,
                    const std::vector<const InputFile*>& read, Manifest& manifest,
                    const BackupStreams& streams, const Manifest* reference) {
    ManifestFile file = entryAsWalked(entry);
    if (entry.kind != ManifestFile::Kind::File) return file;
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
    if (entry.blocks) {
        recordPieces(file, i, *entry.blocks, *reference, manifest, streams);
        return file;
    }
    file.sha256 = streams.fileDigest(i);
    recordShares(file, i, manifest, streams);
    file.partsSha256 = partsDigest(file);
    file.blocks = streams.blockDigests(i);
    if (!file.blocks.empty()) file.blockSize = blockSizeOf(manifest.stages);
    return file;
}

}  // namespace

ManifestFile entryAsWalked(const SetEntry& entry) {
    ManifestFile file;
    file.name = entry.name;
    file.kind = entry.kind;
    file.hasMtime = true;
    file.mode = entry.mode;
    file.mtime = entry.mtime;
    if (entry.kind == ManifestFile::Kind::Symlink) {
        file.mode = -1;
        file.target = entry.target;
    }
    return file;
}

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

Manifest manifestSoFar(const Manifest& manifest, const BackupSet& set,
                       const std::vector<const InputFile*>& read, const BackupStreams& streams,
                       std::size_t written) {
    Manifest sofar = manifest;
    for (const SetEntry& entry : set.entries) {
        if (entry.kind == ManifestFile::Kind::File && !(entry.read < written)) break;
        sofar.files.push_back(fileOf(entry, set, read, sofar, streams, nullptr));
    }
    return sofar;
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
    manifest.files.back().partsSha256 = partsDigest(manifest.files.back());
    return manifest.files.back().size;
}
