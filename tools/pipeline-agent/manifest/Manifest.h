#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "manifest/ChainRecords.h"
#include "manifest/ClusterRecords.h"
#include "stages/Codec.h"

// What a backup wrote, and all a restore needs: the job's archive files, one
// per stream, and for each file of the set which part of it each stream
// holds and where that part lies in the stream's archive file.

// One stream's archive file, the same for every file of the set.
struct ManifestArchive {
    unsigned long stream = 0;  // 1..N
    uint32_t trellanId = 0;    // the archive file's identity
    uint32_t groupNumber = 0;
    uint32_t afileId = 0;
    bool operator==(const ManifestArchive&) const = default;
};

// One stream's share of one file.
struct ManifestShare {
    ManifestArchive archive;
    uint64_t sourceOffset = 0;  // where the share starts in the file
    uint64_t seekOffset = 0;    // where it starts in the archive file
    uint64_t size = 0;          // bytes
    std::string sha256;
    // As stored in the archive file: the share's frames (format 4), or its
    // bytes as they are (storedSize == size, storedSha256 == sha256).
    uint64_t storedSize = 0;
    std::string storedSha256;
    // As frames, of a file recorded with block digests: each frame's stored
    // size in order, so that frame k is found at seekOffset plus the sizes
    // of the frames before it. Empty otherwise.
    std::vector<uint64_t> frames{};
    bool operator==(const ManifestShare&) const = default;
};

// Format 5: a stretch of a file held by pieces (ManifestFile::pieces) rather
// than by one share a stream. The pieces of a file tile it in file order,
// each starting at a block boundary and ending at one or at the file's end.
// A piece lies in one archive file of the job that holds it (this job's, or
// one of its references', never a job that only refers to it): its bytes as
// they are, or a run of that job's frames, from frame frameIndex of the
// part they belong to, whose first frameOffset logical bytes come before
// the piece (the part of a full backup starts where its stream's share of
// the file does, not at a block boundary).
struct ManifestPiece {
    unsigned long long heldBy = 0;  // 0: this job's own
    ManifestArchive archive;        // the holder's archive file of the stream
    uint64_t sourceOffset = 0;      // where the piece starts in the file
    uint64_t seekOffset = 0;        // where its stored bytes start (framed: frame frameIndex)
    uint64_t size = 0;              // logical bytes
    uint64_t storedSize = 0;        // stored bytes a restore reads for it
    // Framed: see above; frames holds the stored size of each frame it
    // reads, adding up to storedSize.
    uint64_t frameIndex = 0;
    uint64_t frameOffset = 0;
    std::vector<uint64_t> frames{};
    // This job's own piece: the SHA-256 of its bytes as read and as stored.
    std::string sha256;
    std::string storedSha256;
    bool operator==(const ManifestPiece&) const = default;
};

// An entry of the set: a file, or (format 3) a stream input, a directory or
// a symbolic link of a tree. A stream input is cut into stripes of
// stripeUnit bytes (the last one shorter), stripe i (from 0) held by stream
// (i mod N) + 1; a stream's share is its stripes one after another, and its
// sourceOffset that of its first stripe (the size of the input when it has
// none). Directories and links have no data, so no shares.
struct ManifestFile {
    enum class Kind { File, Stream, Directory, Symlink };

    // A base name for a file named directly and a stream input; a path
    // relative to the output directory (relativePathProblem) for what
    // belongs to a tree, its first part the tree's base name.
    std::string name;
    Kind kind = Kind::File;
    uint64_t size = 0;
    int mode = -1;  // permission bits; -1: not recorded (first format)
    std::string sha256;
    // Files in shares and stream inputs, recorded by this release's backups:
    // the digest that ties their parts to sha256 (partsDigest). Empty: not
    // recorded, so a restore takes sha256 from the bytes.
    std::string partsSha256;
    std::vector<ManifestShare> shares;  // files and stream inputs: one per stream, in order
    uint64_t stripeUnit = 0;            // a stream input's
    std::vector<std::string> stripes;   // a stream input's: each stripe's SHA-256, in order
    std::string target;                 // a symbolic link's target, as it was read
    bool hasMtime = false;              // format 3: files, directories and links
    int64_t mtime = 0;                  // modification time, ns since the epoch
    // A file's inode and change time (ns since the epoch) when it was read,
    // which with its size, mode and mtime tell a later backup of the set
    // that it is unchanged; recorded by this release's backups.
    bool hasIdentity = false;
    uint64_t inode = 0;
    int64_t ctime = 0;
    // Format 5: the job whose archive files hold the file's data (one of the
    // manifest's references), its shares as that job's manifest lists them;
    // 0 for this job's own.
    unsigned long long heldBy = 0;
    // A file of more than one block (every one this release writes): its
    // block size (the whole file cut from offset 0, the last block shorter)
    // and the SHA-256 of each block, 64 lower-case hex digits each, one
    // after another. blockSize 0: none recorded.
    uint64_t blockSize = 0;
    std::string blocks;
    // Format 5: a file stored partly by this job and partly by the jobs
    // whose blocks it kept, in pieces instead of shares (no shares, no
    // heldBy).
    std::vector<ManifestPiece> pieces;

    bool isStream() const { return kind == Kind::Stream; }
    bool isFile() const { return kind == Kind::File; }
    bool hasData() const { return kind == Kind::File || kind == Kind::Stream; }
    bool hasPieces() const { return !pieces.empty(); }
    std::size_t blockCount() const {
        return blockSize == 0 ? 0 : static_cast<std::size_t>((size + blockSize - 1) / blockSize);
    }
    // Block i's digest, of the blocks recorded.
    std::string blockDigest(std::size_t i) const { return blocks.substr(i * 64, 64); }
};

// Where stripe `stripe` of a stream input lies: which stream (1..N) holds
// it, and at which offset in that stream's share.
unsigned long stripeStream(uint64_t stripe, unsigned long streams);
uint64_t stripeShareOffset(uint64_t stripe, uint64_t stripeUnit, unsigned long streams);
// How many bytes stream k's share of a stream input of `size` bytes holds.
uint64_t stripedShareSize(uint64_t size, uint64_t stripeUnit, unsigned long streams,
                          unsigned long k);

// What a job's bytes went through (format 4): each non-empty share is a run of
// frames (stages/FrameFormat.h) of frameSize logical bytes, the first of
// index 0, bound to the job, the file's name (fileIdOfName) and the stream.
// A stream input's shares use its stripe unit as the frame size, one frame a
// stripe. Encrypted: wrappedKey is the job's data key sealed under the store
// key (WrappedDataKey's text), which is also the key's check.
struct ManifestStages {
    bool framed = false;  // false: the archive files hold the bytes as they are
    Codec codec = Codec::None;
    int level = 0;
    uint64_t frameSize = 0;
    std::string wrappedKey;  // empty: not encrypted
    bool encrypted() const { return !wrappedKey.empty(); }
    bool operator==(const ManifestStages&) const = default;
};

// Format 5: a job whose archive files hold data an incremental or
// differential job refers to, and what decoding them needs.
struct ManifestReference {
    unsigned long long jobId = 0;
    std::vector<ManifestArchive> archives;  // one per stream of that job, in stream order
    ManifestStages stages;                  // that job's
    bool operator==(const ManifestReference&) const = default;
};

struct Manifest {
    // 3 when the set holds a stream input or a tree; 4 when its bytes went
    // through stages; 5 when some of its files are held by other jobs
    // (references), with or without stages
    int version = 2;
    ManifestStages stages;
    unsigned long long jobId = 0;
    std::string createdAt;                  // UTC, ISO 8601
    std::vector<ManifestArchive> archives;  // one per stream, in stream order
    std::vector<ManifestFile> files;        // in backup order
    // A PostgreSQL base backup's facts, or the cluster of a job of WAL files
    // (see ClusterRecords.h); at most one of them.
    std::optional<ManifestCluster> cluster;
    std::optional<ManifestWal> wal;
    // The chain the job belongs to (every backup of this release records
    // its set), and the jobs that hold data of its files (format 5).
    std::optional<ManifestChain> chain;
    std::vector<ManifestReference> references;

    // The reference for job `job`, or null.
    const ManifestReference* referenceTo(unsigned long long job) const;
    // Whether the manifest's bytes of data went through stages: format 4,
    // and format 5 with "stages".
    bool staged() const { return stages.framed; }
};

// What manifest tells of job `job`: the manifest itself for its own job,
// else one of its references as a manifest with that job's id, archive
// files and stages, and no files. Throws AgentError (bad input) for a job it
// does not name.
Manifest jobView(const Manifest& manifest, unsigned long long job);

// An archive file's identity as the agent shows it: "trellan-group-afile".
std::string archiveFileName(const ManifestArchive& archive);

// Throws AgentError (bad input) when a manifest cannot record the file name
// name (the base name of the input at path): JSON texts are UTF-8.
void requireRecordableName(const std::string& name, const std::string& path);

// The manifest as saveManifest writes it: JSON text, ending in a newline.
std::string manifestText(const Manifest& manifest);

// True when the manifest holds a tree: a directory, a link or a path of
// more than one part.
bool holdsTree(const Manifest& manifest);

// Writes the manifest as JSON in its version's format (2 for a set of files
// alone, which older agents restore too; 3 for a set with a stream input or
// a tree, where a file's empty shares are left out; 4 as 3, with the stages
// and each share's stored size and digest; 5 as 4, its stages optional, with
// the references, the files other jobs hold and the files in pieces), each
// file of more than one block with its block digests and the stored size of
// each frame of its framed shares, atomically: the file appears complete or
// not at all. Throws AgentError.
void saveManifest(const Manifest& manifest, const std::string& path);
// Reads and checks a manifest of format 4, 3, 2 or of the first one (a single
// file, read as a set of one). Throws AgentError (bad input) for a
// missing, unreadable, corrupt or foreign file, one whose shares do not add
// up or do not follow each other in the archive files, or whose file names
// are not distinct base names (format 3: distinct relative paths, none
// absolute, with an empty, "." or ".." part or a NUL, each under a
// directory recorded before it). A file's block digests must be one for
// each of its blocks, the frames a share or piece lists must add up to its
// stored size, and a file's pieces (version 5) must tile it from block
// boundary to block boundary, each in an archive file of the job that
// holds it, this job's own following each other in their streams.
Manifest loadManifest(const std::string& path);
// The same checks on a manifest's text; path names it in the errors.
Manifest parseManifest(const std::string& text, const std::string& path);
