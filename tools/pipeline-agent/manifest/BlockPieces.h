#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "manifest/Manifest.h"
#include "stages/JobStages.h"

class Sha256;

// A file recorded block by block (ManifestFile::blockSize, blocks): the
// blocks cut from offset 0, each block's SHA-256, and where the blocks a
// later backup keeps of it lie. A backup that finds the file changed since
// the job it is compared with stores only the blocks whose digest changed,
// and records the others as pieces (ManifestPiece) of the jobs that hold
// them: a piece always names the job that holds its bytes, never one that
// only refers to them. All of this is pure; each object is one thread's.

// The block size of a job whose bytes are stored as they are: a PostgreSQL
// page is 8 KiB, so 1 % of pages changed at random changes about 4 % of
// blocks, while a block's digest (64 hex digits) costs 0.2 % of its bytes
// in the manifest. The frames a backup with stages writes, so that every
// job of this release has blocks of one size.
constexpr uint64_t kPlainBlockSize = kBackupFrameSize;

// A job's block size: its frame size when its bytes go through stages (a
// frame is what decodes on its own; 1 MiB in a job of an earlier release),
// else kPlainBlockSize.
uint64_t blockSizeOf(const ManifestStages& stages);

// How many blocks of blockSize a file of `size` bytes has (the last one
// shorter).
uint64_t blocksIn(uint64_t size, uint64_t blockSize);

// A stretch of a file: where it starts and how many bytes.
struct FileExtent {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool operator==(const FileExtent&) const = default;
};

// The digests of consecutive blocks of blockSize, from bytes handed over in
// order: a block ends every blockSize bytes, the last one where the bytes
// end (finish).
class BlockDigests {
public:
    explicit BlockDigests(uint64_t blockSize);
    ~BlockDigests();
    BlockDigests(const BlockDigests&) = delete;
    BlockDigests& operator=(const BlockDigests&) = delete;

    void update(const void* data, std::size_t length);
    // Every block's digest, 64 lower-case hex digits each, one after
    // another; the bytes since the last full block make the last one.
    // Ends the digests: add nothing afterwards.
    std::string finish();

private:
    const uint64_t m_blockSize;
    uint64_t m_fill = 0;  // bytes of the block being digested
    std::unique_ptr<Sha256> m_block;
    std::string m_digests;
};

// Checks the bytes of a file recorded block by block as they are written,
// from a block boundary on, against the digest of each block: a block is
// compared once its last byte came (its end, or the file's).
class BlockCheck {
public:
    // file: its blockSize and blocks; from: a block boundary.
    BlockCheck(const ManifestFile& file, uint64_t from);
    ~BlockCheck();
    BlockCheck(const BlockCheck&) = delete;
    BlockCheck& operator=(const BlockCheck&) = delete;

    // Takes the next bytes. Returns the index of a block that does not
    // match its digest, or SIZE_MAX while all do; the check is spent after
    // a mismatch. Bytes past the file's end are a mismatch of the block
    // they would belong to.
    std::size_t update(const void* data, std::size_t length);
    // Whether every block that was begun was also ended (and checked).
    bool atBlockEnd() const { return m_fill == 0; }

private:
    const ManifestFile& m_file;
    std::size_t m_index;  // the block being taken
    uint64_t m_fill = 0;  // its bytes so far
    std::unique_ptr<Sha256> m_block;
};

// The stretches of `file` as the manifest of job `job` records it, each as
// a piece of the job that holds its bytes (never 0): its pieces, or each of
// its shares (of `job`, or of file.heldBy) that holds bytes. frameSizes
// gets each one's holder's frame size (0: stored as they are). A framed
// share that lists no frames (an earlier release's) is left out: where
// its blocks lie is not known.
std::vector<ManifestPiece> heldPiecesOf(const ManifestFile& file, const Manifest& job,
                                        std::vector<uint64_t>& frameSizes);

// The bytes [from, from + length) of the file that `held` holds (they must
// lie within it), as a piece of the same job: the same bytes of its archive
// file, or the frames that hold them, from the first one's index and with
// the bytes of it that come before `from`. frameSize: the holder's (0:
// stored as they are).
ManifestPiece slicePiece(const ManifestPiece& held, uint64_t frameSize, uint64_t from,
                         uint64_t length);

// What a backup keeps of a file that changed since `before` (its record in
// `reference`, the job the backup is compared with, with blocks of
// blockSize): each block whose digest in `digests` (the file as it is now,
// `size` bytes) is that of the block of the same index in `before`, and
// which lies whole within one piece that holds `before`, is kept; runs of
// consecutive kept blocks are pieces of the jobs that hold them, in file
// order; the other blocks, past the end of `before` too, are to be stored,
// as runs of consecutive blocks.
struct BlockPlan {
    std::vector<ManifestPiece> kept;
    std::vector<FileExtent> changed;
    uint64_t changedBlocks = 0;
};
BlockPlan planBlocks(uint64_t size, uint64_t blockSize, const std::string& digests,
                     const ManifestFile& before, const Manifest& reference);
