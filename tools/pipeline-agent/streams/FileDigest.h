#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/Sha256.h"
#include "manifest/Manifest.h"

// The SHA-256 of a file whose parts are written side by side, each part from
// its start to its end by one thread: the digest takes the bytes in file
// order all the same. A part's bytes are hashed from the delivery in hand
// when the part's turn has come; what a part wrote before its turn is read
// back from the output, only that, by whichever thread finds it next. One
// thread hashes at a time; the others deliver and go on reading their
// streams. Memory: one read-back buffer of kReadBackChunk bytes.
//
// A file whose parts vouch for it (partsVouchForFile) is not hashed at all:
// its parts matched their own digests, which the manifest ties to the
// file's, so only the count of bytes written is kept.
//
// Thread rules: written() from the part's own thread, in order, after the
// bytes are in the output; finish() once, after every part's thread ended.
class FileDigest {
public:
    // Reads length bytes of the output at offset into buffer; throws
    // AgentError when it cannot.
    using ReadBack = std::function<void(void* buffer, std::size_t length, uint64_t offset)>;
    static constexpr std::size_t kReadBackChunk = 1 << 20;

    // partSizes: the parts in file order, which tile the file from offset 0.
    FileDigest(std::vector<uint64_t> partSizes, ReadBack readBack);
    // The parts of file (partSizes), which must outlive the digest; hashes
    // nothing when its parts vouch for it.
    FileDigest(const ManifestFile& file, ReadBack readBack);

    FileDigest(const FileDigest&) = delete;
    FileDigest& operator=(const FileDigest&) = delete;

    // Part `part` wrote `length` more bytes, `data`, right after those it
    // wrote before. May hash on the caller's thread, this part's bytes or
    // earlier parts' read back. Throws what readBack throws.
    void written(std::size_t part, const void* data, std::size_t length);
    // The file's digest, as 64 lower-case hex digits, once every part's
    // bytes were written; hashes what is left, reading it back, or takes it
    // from the parts (digestOfParts). Throws AgentError (failed job) when a
    // part was not written whole, or as digestOfParts does.
    std::string finish();
    // How many bytes were read back from the output (not hashed from memory).
    uint64_t readBackBytes() const;

private:
    FileDigest(const ManifestFile* vouchedFor, std::vector<uint64_t> partSizes,
               ReadBack readBack);
    // Hashes what can be hashed now; `lock` is held on entry and exit, and
    // let go around each read and hash. data/length: the caller's delivery
    // of part `part`, which starts at `start` in it (none: data null).
    void drain(std::unique_lock<std::mutex>& lock, std::size_t part, uint64_t start,
               const void* data, std::size_t length);

    const ManifestFile* const m_vouchedFor = nullptr;  // set: hashes nothing
    const std::vector<uint64_t> m_sizes;
    std::vector<uint64_t> m_starts;  // each part's offset in the file
    const ReadBack m_readBack;
    mutable std::mutex m_mutex;
    std::vector<uint64_t> m_written;  // bytes each part has written
    std::size_t m_turn = 0;           // the part being hashed
    uint64_t m_hashed = 0;            // bytes of m_turn hashed
    bool m_busy = false;              // a thread is hashing
    uint64_t m_readBackBytes = 0;
    Sha256 m_digest;
    std::vector<unsigned char> m_buffer;  // for reading back; only the hashing thread's
};

// The sizes of a file's parts in file order: its shares, or, for a stream
// input, its stripes.
std::vector<uint64_t> partSizes(const ManifestFile& file);

// Whether file's parts vouch for it once each matched its own digest: its
// manifest ties them to the file (partsSha256), or one part holds all of its
// bytes. Else (a file split over streams by an older release) its digest
// must be taken from its bytes.
bool partsVouchForFile(const ManifestFile& file);
// The digest of a file whose parts vouch for it. Throws AgentError (failed
// job) when the manifest's partsSha256 is not that of its parts: the
// manifest was altered.
std::string digestOfParts(const ManifestFile& file);

// Throws AgentError (failed job) when digest, the SHA-256 of the bytes
// restored for file, is not the one its manifest records: every part
// matched its own digest by then, so the manifest's parts are not the file
// it names (the manifest was altered).
void requireFileDigest(const ManifestFile& file, const std::string& digest);
