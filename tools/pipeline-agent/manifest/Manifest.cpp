#include "manifest/Manifest.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <set>

#include "base/AgentError.h"
#include "base/InputRules.h"
#include "base/Names.h"
#include "base/RelativePath.h"
#include "base/Sha256.h"
#include "outputs/OutputFile.h"
#include "restore/RestorePipelineSetup.h"
#include "stages/FrameFormat.h"

using nlohmann::json;

namespace {

constexpr const char* kFormat = "pipeline-agent-manifest";
constexpr int kFirstVersion = 1;
constexpr int kVersion = 2;
constexpr int kStreamVersion = 3;
constexpr int kStagedVersion = 4;
constexpr int kChainVersion = 5;
// The frame sizes a restore accepts: those this agent writes (a restore
// holds three frames per stream, so a larger one would let the manifest
// choose its memory). A stream input's frames are its stripes.
constexpr uint64_t kMaxFrameSize = frame_format::kMaxFrameSize;
// A restore holds one stripe per stream in memory: stripes larger than the
// agent has ever written (1 MiB) are refused, so that a manifest cannot
// choose its memory either.
constexpr uint64_t kMaxStripeUnit = uint64_t{1} << 20;

// 64 lower-case hex digits.
bool isSha256(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// A whole number field that fits in T; throws bad input naming it.
template <typename T>
T number(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_unsigned() ||
        it->get<unsigned long long>() > std::numeric_limits<T>::max()) {
        throw badInput(where + ": \"" + key + "\" is missing or not a valid number");
    }
    return it->get<T>();
}

// A SHA-256 field; throws bad input naming it.
std::string digest(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string() || !isSha256(it->get<std::string>())) {
        throw badInput(where + ": \"" + key + "\" is missing or not a SHA-256 digest");
    }
    return it->get<std::string>();
}

// An optional text field: empty when absent.
std::string optionalText(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end()) return "";
    if (!it->is_string()) throw badInput(where + ": \"" + key + "\" is not a string");
    return it->get<std::string>();
}

// A list field with at least one item; throws bad input naming it.
const json& array(const json& object, const char* key, const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array() || it->empty()) {
        throw badInput(where + " names no " + key);
    }
    return *it;
}

// An archive file's identity and stream, from an entry naming one.
ManifestArchive archiveOf(const json& entry, const std::string& at) {
    if (!entry.is_object()) throw badInput(at + " is not an object");
    ManifestArchive archive;
    archive.stream = number<unsigned long>(entry, "stream", at);
    archive.trellanId = number<uint32_t>(entry, "trellanId", at);
    archive.groupNumber = number<uint32_t>(entry, "groupNumber", at);
    archive.afileId = number<uint32_t>(entry, "afileId", at);
    return archive;
}

// A share's stored size and digest: recorded in format 4, the logical ones
// before it.
void readStored(const json& entry, ManifestShare& share, bool staged, const std::string& at) {
    if (!staged) {
        share.storedSize = share.size;
        share.storedSha256 = share.sha256;
        return;
    }
    share.storedSize = number<uint64_t>(entry, "storedSize", at);
    share.storedSha256 = digest(entry, "storedSha256", at);
    if ((share.size == 0) != (share.storedSize == 0)) {
        throw badInput(at + ": \"storedSize\" " + std::to_string(share.storedSize) +
                       " does not fit its " + std::to_string(share.size) + " bytes");
    }
}

// How many frames of frameSize logical bytes hold `logical` bytes.
uint64_t framesFor(uint64_t logical, uint64_t frameSize) {
    return logical / frameSize + (logical % frameSize != 0);
}

// A share's or a piece's "frames", when listed: the stored size of each
// frame it reads, `logical` bytes from its first frame's start in frames
// of frameSize (0: the bytes are stored as they are, and have none), adding
// up to its stored size.
std::vector<uint64_t> framesOf(const json& entry, uint64_t frameSize, uint64_t logical,
                               uint64_t storedSize, const std::string& at) {
    std::vector<uint64_t> frames;
    const auto found = entry.find("frames");
    if (found == entry.end()) return frames;
    if (frameSize == 0) throw badInput(at + ": \"frames\" are for bytes stored as frames");
    if (!found->is_array()) throw badInput(at + ": \"frames\" is not a list of stored sizes");
    uint64_t sum = 0;
    for (const json& frame : *found) {
        if (!frame.is_number_unsigned() || frame.get<uint64_t>() == 0 ||
            frame.get<uint64_t>() > std::numeric_limits<uint64_t>::max() - sum) {
            throw badInput(at + ": \"frames\" is not a list of stored sizes");
        }
        frames.push_back(frame.get<uint64_t>());
        sum += frames.back();
    }
    if (frames.size() != framesFor(logical, frameSize)) {
        throw badInput(at + " lists " + std::to_string(frames.size()) + " frames; " +
                       std::to_string(logical) + " bytes in frames of " +
                       std::to_string(frameSize) + " make " +
                       std::to_string(framesFor(logical, frameSize)));
    }
    if (sum != storedSize) {
        throw badInput(at + ": its frames add up to " + std::to_string(sum) +
                       " stored bytes, not its \"storedSize\" " + std::to_string(storedSize));
    }
    return frames;
}

// The frame size of a job's frames; 0 when it stores its bytes as they are.
uint64_t frameSizeOf(const ManifestStages& stages) { return stages.framed ? stages.frameSize : 0; }

// Whether two entries name the same archive file of the same stream.
bool sameArchive(const ManifestArchive& a, const ManifestArchive& b) {
    return a.stream == b.stream && a.trellanId == b.trellanId && a.groupNumber == b.groupNumber &&
           a.afileId == b.afileId;
}

// Refuses more streams than a restore can take.
void checkStreamCount(std::size_t count, const std::string& where) {
    if (count > RestorePipelineSetup::kMaxStreams) {
        throw badInput(where + " names " + std::to_string(count) + " streams; at most " +
                       std::to_string(RestorePipelineSetup::kMaxStreams) + " can be restored");
    }
}

// The shares of one file: streams 1..N in order, consecutive parts of the
// file that add up to it.
std::vector<ManifestShare> sharesOf(const json& entries, uint64_t fileSize,
                                    const std::string& where) {
    checkStreamCount(entries.size(), where);
    std::vector<ManifestShare> shares;
    uint64_t nextOffset = 0;
    for (const json& entry : entries) {
        const std::string at = where + " stream " + std::to_string(shares.size() + 1);
        ManifestShare share;
        share.archive = archiveOf(entry, at);
        share.sourceOffset = number<uint64_t>(entry, "sourceOffset", at);
        share.seekOffset = number<uint64_t>(entry, "seekOffset", at);
        share.size = number<uint64_t>(entry, "size", at);
        share.sha256 = digest(entry, "sha256", at);
        readStored(entry, share, false, at);
        if (share.archive.stream != shares.size() + 1 || share.sourceOffset != nextOffset ||
            share.size > fileSize - nextOffset) {
            throw badInput(at +
                           " is out of order, leaves a gap or runs past the end of the source");
        }
        nextOffset += share.size;
        shares.push_back(share);
    }
    if (nextOffset != fileSize) {
        throw badInput(where + ": the streams hold " + std::to_string(nextOffset) +
                       " bytes, the source " + std::to_string(fileSize));
    }
    return shares;
}

// The shares of a stream input: streams 1..N in order, each the size its
// stripes add up to and starting where its first stripe does.
std::vector<ManifestShare> stripedSharesOf(const json& entries, const ManifestFile& file,
                                           bool staged, const std::string& where) {
    checkStreamCount(entries.size(), where);
    const auto streams = static_cast<unsigned long>(entries.size());
    std::vector<ManifestShare> shares;
    for (const json& entry : entries) {
        const unsigned long k = static_cast<unsigned long>(shares.size()) + 1;
        const std::string at = where + " stream " + std::to_string(k);
        ManifestShare share;
        share.archive = archiveOf(entry, at);
        share.sourceOffset = number<uint64_t>(entry, "sourceOffset", at);
        share.seekOffset = number<uint64_t>(entry, "seekOffset", at);
        share.size = number<uint64_t>(entry, "size", at);
        share.sha256 = digest(entry, "sha256", at);
        readStored(entry, share, staged, at);
        const uint64_t firstStripe = std::min<uint64_t>((k - 1) * file.stripeUnit, file.size);
        if (share.archive.stream != k || share.sourceOffset != firstStripe ||
            share.size != stripedShareSize(file.size, file.stripeUnit, streams, k)) {
            throw badInput(at + " is out of order or does not hold its stripes");
        }
        shares.push_back(share);
    }
    return shares;
}

// The shares of a file in format 3, where empty shares may be left out:
// those listed in stream order, tiling the file; the others are filled in
// as empty shares (each at its stream's end so far, checked later). Framed
// shares (frameSize, 0 for none) may list their frames.
std::vector<ManifestShare> sparseSharesOf(const json& entry, uint64_t fileSize,
                                          const std::vector<ManifestArchive>& archives, bool staged,
                                          uint64_t frameSize, const std::string& where) {
    const std::size_t streams = archives.size();
    const auto list = entry.find("streams");
    if (list == entry.end() || !list->is_array()) {
        throw badInput(where + ": \"streams\" is missing or not a list");
    }
    checkStreamCount(list->size(), where);
    std::vector<ManifestShare> shares(streams);
    const std::string empty = Sha256().hex();
    for (std::size_t k = 0; k < streams; ++k) {
        shares[k].archive = archives[k];
        shares[k].sha256 = empty;
        shares[k].storedSha256 = empty;
    }
    uint64_t nextOffset = 0;
    unsigned long lastStream = 0;
    for (const json& item : *list) {
        const std::string at = where + " share " + std::to_string(lastStream + 1);
        ManifestShare share;
        share.archive = archiveOf(item, at);
        share.sourceOffset = number<uint64_t>(item, "sourceOffset", at);
        share.seekOffset = number<uint64_t>(item, "seekOffset", at);
        share.size = number<uint64_t>(item, "size", at);
        share.sha256 = digest(item, "sha256", at);
        readStored(item, share, staged, at);
        share.frames = framesOf(item, frameSize, share.size, share.storedSize, at);
        if (share.archive.stream <= lastStream || share.archive.stream > streams ||
            share.sourceOffset != nextOffset || share.size > fileSize - nextOffset) {
            throw badInput(at +
                           " is out of order, leaves a gap or runs past the end of the source");
        }
        // The empty shares before it start where it does.
        for (unsigned long k = lastStream + 1; k < share.archive.stream; ++k) {
            shares[k - 1].sourceOffset = nextOffset;
        }
        nextOffset += share.size;
        lastStream = share.archive.stream;
        shares[lastStream - 1] = share;
    }
    for (unsigned long k = lastStream + 1; k <= streams; ++k)
        shares[k - 1].sourceOffset = nextOffset;
    if (nextOffset != fileSize) {
        throw badInput(where + ": the streams hold " + std::to_string(nextOffset) +
                       " bytes, the source " + std::to_string(fileSize));
    }
    return shares;
}

// An optional time field, in nanoseconds since the epoch in a signed 64-bit
// field; false when absent.
bool readNanoseconds(const json& entry, const char* key, int64_t& value, const std::string& at) {
    const auto found = entry.find(key);
    if (found == entry.end()) return false;
    if (!found->is_number_integer() ||
        (found->is_number_unsigned() &&
         found->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))) {
        throw badInput(at + ": \"" + key + "\" is not a whole number of nanoseconds");
    }
    value = found->get<int64_t>();
    return true;
}

// What format 3 adds to an entry: its kind, for a stream input its stripes,
// for a link its target, for files and directories the modification time.
void readKind(const json& entry, ManifestFile& file, const std::string& at) {
    const std::string kind = optionalText(entry, "kind", at);
    if (kind == "directory" || kind == "symlink" || kind == "file") {
        file.hasMtime = readNanoseconds(entry, "mtime", file.mtime, at);
    }
    if (kind == "file") return;
    if (kind == "directory") {
        file.kind = ManifestFile::Kind::Directory;
        return;
    }
    if (kind == "symlink") {
        file.kind = ManifestFile::Kind::Symlink;
        file.target = optionalText(entry, "target", at);
        if (file.target.empty() || file.target.find('\0') != std::string::npos) {
            throw badInput(at + ": \"target\" is missing, empty or holds a NUL");
        }
        return;
    }
    if (kind != "stream") {
        throw badInput(at + ": \"kind\" is missing or not file, stream, directory or symlink");
    }
    file.kind = ManifestFile::Kind::Stream;
}

// A stream input's stripes, once its size is known. Framed, its stripes are
// its frames, and no larger than they may be.
void readStripes(const json& entry, ManifestFile& file, const std::string& at) {
    static_assert(kMaxStripeUnit <= kMaxFrameSize);
    file.stripeUnit = number<uint64_t>(entry, "stripeUnit", at);
    if (file.stripeUnit == 0 || file.stripeUnit > kMaxStripeUnit) {
        throw badInput(at + ": \"stripeUnit\" " + std::to_string(file.stripeUnit) +
                       " is out of range");
    }
    const auto stripes = entry.find("stripes");
    if (stripes == entry.end() || !stripes->is_array()) {
        throw badInput(at + ": \"stripes\" is missing or not a list");
    }
    const uint64_t count = file.size / file.stripeUnit + (file.size % file.stripeUnit != 0);
    if (stripes->size() != count) {
        throw badInput(at + " has " + std::to_string(stripes->size()) +
                       " stripes; its size needs " + std::to_string(count));
    }
    for (const json& stripe : *stripes) {
        if (!stripe.is_string() || !isSha256(stripe.get<std::string>())) {
            throw badInput(at + ": a stripe's digest is not a SHA-256 digest");
        }
        file.stripes.push_back(stripe.get<std::string>());
    }
}

// A file name without a directory: not empty, ".", ".." or holding '/' or a NUL.
bool isBaseName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// Format 4's "stages": the codec the frames were made with, their size, and
// the wrapped data key of an encrypted job.
ManifestStages stagesOf(const json& document, const std::string& where) {
    const auto found = document.find("stages");
    const std::string at = where + " stages";
    if (found == document.end() || !found->is_object()) {
        throw badInput(where + ": \"stages\" is missing or not an object");
    }
    ManifestStages stages;
    stages.framed = true;
    const std::string codec = optionalText(*found, "codec", at);
    if (codec == "zstd") {
        stages.codec = Codec::Zstd;
    } else if (codec == "lz4") {
        stages.codec = Codec::Lz4;
    } else if (codec != "none") {
        throw badInput(at + ": \"codec\" is missing or not zstd, lz4 or none");
    }
    stages.level = number<int>(*found, "level", at);
    stages.frameSize = number<uint64_t>(*found, "frameSize", at);
    if (stages.frameSize == 0 || stages.frameSize > kMaxFrameSize) {
        throw badInput(at + ": \"frameSize\" " + std::to_string(stages.frameSize) +
                       " is out of range (1 to " + std::to_string(kMaxFrameSize) +
                       ", the frames this agent reads)");
    }
    stages.wrappedKey = optionalText(*found, "wrappedKey", at);
    return stages;
}

// The first format: one file, its shares under "streams".
Manifest firstFormat(const json& document, const std::string& where) {
    Manifest manifest;
    manifest.version = kFirstVersion;
    manifest.jobId = number<unsigned long long>(document, "jobId", where);
    manifest.createdAt = optionalText(document, "createdAt", where);
    const auto source = document.find("source");
    if (source == document.end() || !source->is_object()) {
        throw badInput(where + ": \"source\" is missing");
    }
    ManifestFile file;
    file.name = optionalText(*source, "name", where + " source");
    requireUsableName(file.name, where + " source name");
    file.size = number<uint64_t>(*source, "size", where + " source");
    file.sha256 = digest(*source, "sha256", where + " source");
    file.shares = sharesOf(array(document, "streams", where), file.size, where);
    for (const ManifestShare& share : file.shares) manifest.archives.push_back(share.archive);
    manifest.files.push_back(file);
    return manifest;
}

// The set's archive files ("archiveFiles"): one per stream, in stream
// order.
std::vector<ManifestArchive> archivesOf(const json& document, const std::string& where) {
    const json& entries = array(document, "archiveFiles", where);
    checkStreamCount(entries.size(), where);
    std::vector<ManifestArchive> archives;
    for (const json& entry : entries) {
        const std::string at = where + " archive file " + std::to_string(archives.size() + 1);
        archives.push_back(archiveOf(entry, at));
        if (archives.back().stream != archives.size()) throw badInput(at + " is out of order");
    }
    return archives;
}

// Format 5's "references": the jobs that hold data of the set's files, each
// once, none of them the job itself, with their archive files and stages.
std::vector<ManifestReference> referencesOf(const json& document, unsigned long long jobId,
                                            const std::string& where) {
    std::vector<ManifestReference> references;
    for (const json& item : array(document, "references", where)) {
        const std::string at = where + " reference " + std::to_string(references.size() + 1);
        if (!item.is_object()) throw badInput(at + " is not an object");
        ManifestReference reference;
        reference.jobId = number<unsigned long long>(item, "jobId", at);
        for (const ManifestReference& other : references) {
            if (other.jobId == reference.jobId) throw badInput(at + " names its job twice");
        }
        if (reference.jobId == jobId || reference.jobId == 0) {
            throw badInput(at + " names job " + std::to_string(reference.jobId));
        }
        reference.archives = archivesOf(item, at);
        if (item.contains("stages")) reference.stages = stagesOf(item, at);
        references.push_back(reference);
    }
    return references;
}

// Reads the entries of a manifest's "files" in order, each checked against
// the set's archive files, the names recorded before it, and where each
// stream's next share must start in its archive file.
class FileEntries {
public:
    FileEntries(int version, const ManifestStages& stages,
                const std::vector<ManifestArchive>& archives,
                const std::vector<ManifestReference>& references)
        : m_staged(version >= kStagedVersion),
          m_third(version >= kStreamVersion),
          m_chained(version >= kChainVersion),
          m_stages(stages),
          m_archives(archives),
          m_references(references),
          m_streamEnd(archives.size(), 0) {}

    // The next entry; at names it in the errors.
    ManifestFile read(const json& entry, const std::string& at) {
        if (!entry.is_object()) throw badInput(at + " is not an object");
        ManifestFile file;
        readNameAndKind(entry, file, at);
        if (file.kind == ManifestFile::Kind::Symlink) return file;
        const uint32_t mode = number<uint32_t>(entry, "mode", at);
        if (mode > 0777) throw badInput(at + ": \"mode\" is not a permission mode");
        file.mode = static_cast<int>(mode);
        if (file.kind == ManifestFile::Kind::Directory) return file;
        file.size = number<uint64_t>(entry, "size", at);
        file.sha256 = digest(entry, "sha256", at);
        readIdentity(entry, file, at);
        if (file.isFile()) readBlocks(entry, file, at);
        if (entry.contains("pieces")) {
            readPieces(entry, file, at);
            return file;
        }
        if (entry.contains("partsSha256")) file.partsSha256 = digest(entry, "partsSha256", at);
        if (entry.contains("heldBy")) {
            readHeldShares(entry, file, at);
            return file;
        }
        file.shares = sharesFor(entry, file, at);
        placeShares(file, at);
        return file;
    }

private:
    // The time and, recorded by this release, the inode and change time a
    // file was read with.
    static void readIdentity(const json& entry, ManifestFile& file, const std::string& at) {
        if (!file.hasMtime) file.hasMtime = readNanoseconds(entry, "mtime", file.mtime, at);
        if (!entry.contains("inode")) return;
        file.inode = number<uint64_t>(entry, "inode", at);
        if (!readNanoseconds(entry, "ctime", file.ctime, at) || !file.hasMtime) {
            throw badInput(at + ": \"inode\" needs \"ctime\" and \"mtime\" beside it");
        }
        file.hasIdentity = true;
    }

    // A file's block size and the digest of each of its blocks, when
    // recorded.
    static void readBlocks(const json& entry, ManifestFile& file, const std::string& at) {
        const bool size = entry.contains("blockSize"), digests = entry.contains("blocks");
        if (!size && !digests) return;
        if (size != digests) throw badInput(at + ": \"blockSize\" and \"blocks\" go together");
        file.blockSize = number<uint64_t>(entry, "blockSize", at);
        if (file.blockSize == 0 || file.blockSize > kMaxFrameSize) {
            throw badInput(at + ": \"blockSize\" " + std::to_string(file.blockSize) +
                           " is out of range (1 to " + std::to_string(kMaxFrameSize) + ")");
        }
        const json& blocks = entry["blocks"];
        const std::size_t count = file.blockCount();
        bool good = blocks.is_string() && blocks.get_ref<const std::string&>().size() == count * 64;
        for (std::size_t i = 0; good && i < count; ++i) {
            good = isSha256(blocks.get_ref<const std::string&>().substr(i * 64, 64));
        }
        if (!good) {
            throw badInput(at + ": \"blocks\" is not one SHA-256 digest for each of its " +
                           std::to_string(count) + " blocks");
        }
        file.blocks = blocks.get<std::string>();
    }

    // The stages of the job that holds a piece (0: this one); null for a job
    // the manifest does not refer to.
    const ManifestStages* holderStages(unsigned long long job) const {
        if (job == 0) return &m_stages;
        for (const ManifestReference& reference : m_references) {
            if (reference.jobId == job) return &reference.stages;
        }
        return nullptr;
    }

    // Format 5: a file in pieces, which tile it block by block; each lies
    // in an archive file of the job that holds it, this job's own ones one
    // after another in their streams as shares do.
    void readPieces(const json& entry, ManifestFile& file, const std::string& at) {
        if (!m_chained || !file.isFile()) {
            throw badInput(at + ": \"pieces\" are for a file of a manifest of version 5");
        }
        if (file.blockSize == 0) {
            throw badInput(at + ": \"pieces\" need \"blockSize\" and \"blocks\" beside them");
        }
        if (entry.contains("streams") || entry.contains("heldBy")) {
            throw badInput(at + ": \"pieces\" stand instead of \"streams\" and \"heldBy\"");
        }
        const auto list = entry.find("pieces");
        if (!list->is_array() || list->empty()) throw badInput(at + " names no pieces");
        uint64_t next = 0;
        // Per stream: this file's own frames so far, where the next own
        // piece's frames are numbered from.
        std::vector<uint64_t> ownFrames(m_archives.size(), 0);
        for (const json& item : *list) {
            const std::string piece = at + " piece " + std::to_string(file.pieces.size() + 1);
            file.pieces.push_back(pieceOf(item, file, next, piece));
            const ManifestPiece& p = file.pieces.back();
            next += p.size;
            if (p.heldBy == 0) placeOwnPiece(p, ownFrames, piece);
        }
        if (next != file.size) {
            throw badInput(at + ": the pieces hold " + std::to_string(next) + " bytes, the file " +
                           std::to_string(file.size));
        }
    }

    // One piece of file, which must start at `next`.
    ManifestPiece pieceOf(const json& item, const ManifestFile& file, uint64_t next,
                          const std::string& at) const {
        if (!item.is_object()) throw badInput(at + " is not an object");
        ManifestPiece p;
        if (item.contains("heldBy")) p.heldBy = number<unsigned long long>(item, "heldBy", at);
        const ManifestStages* stages = p.heldBy == 0 ? nullptr : holderStages(p.heldBy);
        if (p.heldBy != 0 && !stages) {
            throw badInput(at + ": \"heldBy\" names no job of the references");
        }
        if (!stages) stages = &m_stages;
        const std::vector<ManifestArchive>& archives =
            p.heldBy == 0 ? m_archives : referenceArchives(p.heldBy);
        p.archive = archiveOf(item, at);
        if (p.archive.stream == 0 || p.archive.stream > archives.size() ||
            !sameArchive(p.archive, archives[p.archive.stream - 1])) {
            throw badInput(at + " names another archive file than " +
                           (p.heldBy == 0 ? std::string("the set's")
                                          : "job " + std::to_string(p.heldBy) + "'s"));
        }
        p.sourceOffset = number<uint64_t>(item, "sourceOffset", at);
        p.seekOffset = number<uint64_t>(item, "seekOffset", at);
        p.size = number<uint64_t>(item, "size", at);
        p.storedSize = number<uint64_t>(item, "storedSize", at);
        if (p.sourceOffset != next || p.size == 0 || p.size > file.size - next) {
            throw badInput(at + " is out of order, leaves a gap or runs past the end of the file");
        }
        const uint64_t end = p.sourceOffset + p.size;
        if (p.sourceOffset % file.blockSize != 0 ||
            (end % file.blockSize != 0 && end != file.size)) {
            throw badInput(at + " does not start and end at block boundaries");
        }
        if (stages->framed) {
            p.frameIndex = number<uint64_t>(item, "frameIndex", at);
            p.frameOffset = number<uint64_t>(item, "frameOffset", at);
            if (p.frameOffset >= stages->frameSize) {
                throw badInput(at + ": \"frameOffset\" " + std::to_string(p.frameOffset) +
                               " lies past its first frame");
            }
            if (!item.contains("frames")) throw badInput(at + ": \"frames\" is missing");
            p.frames = framesOf(item, stages->frameSize, p.frameOffset + p.size, p.storedSize, at);
        } else if (item.contains("frameIndex") || item.contains("frameOffset") ||
                   item.contains("frames")) {
            throw badInput(at + ": its job's bytes are stored as they are, not as frames");
        } else if (p.storedSize != p.size) {
            throw badInput(at + ": \"storedSize\" " + std::to_string(p.storedSize) +
                           " is not its size, " + std::to_string(p.size) +
                           ", of bytes stored as they are");
        }
        if (p.heldBy == 0) {
            p.sha256 = digest(item, "sha256", at);
            p.storedSha256 = digest(item, "storedSha256", at);
        }
        return p;
    }

    // This job's own piece p: it must lie where its stream's next bytes do
    // and, framed, start at the next frame of the file's part on that
    // stream; then the stream's end moves past it.
    void placeOwnPiece(const ManifestPiece& p, std::vector<uint64_t>& ownFrames,
                       const std::string& at) {
        const std::size_t k = p.archive.stream - 1;
        if (p.seekOffset != m_streamEnd[k]) {
            throw badInput(at + ": \"seekOffset\" " + std::to_string(p.seekOffset) +
                           " does not follow the previous share or piece (" +
                           std::to_string(m_streamEnd[k]) + ")");
        }
        if (m_stages.framed && (p.frameIndex != ownFrames[k] || p.frameOffset != 0)) {
            throw badInput(at + ": \"frameIndex\" " + std::to_string(p.frameIndex) +
                           " does not follow the file's frames before it on its stream (" +
                           std::to_string(ownFrames[k]) + ")");
        }
        if (p.storedSize > std::numeric_limits<uint64_t>::max() - m_streamEnd[k]) {
            throw badInput(at + ": its archive file would end past 2^64 bytes");
        }
        m_streamEnd[k] += p.storedSize;
        ownFrames[k] += p.frames.size();
    }

    // The archive files of job `job`, one of the references.
    const std::vector<ManifestArchive>& referenceArchives(unsigned long long job) const {
        for (const ManifestReference& reference : m_references) {
            if (reference.jobId == job) return reference.archives;
        }
        return m_archives;
    }

    // Format 5: a file another job holds, its shares those of that job's
    // archive files, tiling the file in its streams' order; where they lie
    // in them is that job's to check.
    void readHeldShares(const json& entry, ManifestFile& file, const std::string& at) const {
        file.heldBy = number<unsigned long long>(entry, "heldBy", at);
        const ManifestReference* holder = nullptr;
        for (const ManifestReference& reference : m_references) {
            if (reference.jobId == file.heldBy) holder = &reference;
        }
        if (!holder || !file.isFile()) {
            throw badInput(at + ": \"heldBy\" names no job of the references, or names one "
                                "for what is not a file");
        }
        file.shares = sparseSharesOf(entry, file.size, holder->archives, true,
                                     frameSizeOf(holder->stages), at);
        for (const ManifestShare& share : file.shares) {
            if (!sameArchive(share.archive, holder->archives[share.archive.stream - 1])) {
                throw badInput(at + " names another archive file than job " +
                               std::to_string(file.heldBy) + "'s");
            }
        }
    }

    // The entry's name and (format 3) kind: a base name, or in format 3 a
    // tree's relative path; never one recorded before.
    void readNameAndKind(const json& entry, ManifestFile& file, const std::string& at) {
        const auto name = entry.find("name");
        if (name == entry.end() || !name->is_string()) {
            throw badInput(at + ": \"name\" is missing or not a file name");
        }
        file.name = name->get<std::string>();
        // A NUL, a name or a path too long for the file system: refused here.
        requireUsablePath(file.name, at + " name");
        if (m_third) readKind(entry, file, at);
        const bool inTree = file.kind == ManifestFile::Kind::Directory ||
                            file.kind == ManifestFile::Kind::Symlink ||
                            file.name.find('/') != std::string::npos;
        if (m_third && inTree && file.kind != ManifestFile::Kind::Stream) {
            checkTreePath(file.name, at);
        } else if (!isBaseName(file.name)) {
            throw badInput(at + ": \"name\" is missing or not a file name");
        }
        if (!m_names.emplace(file.name, file.kind).second)
            throw badInput(at + ": \"" + printablePath(file.name) + "\" is named twice");
    }

    // A tree's path: relative and clean, and every part before the last a
    // directory recorded before it.
    void checkTreePath(const std::string& path, const std::string& at) const {
        const std::string problem = relativePathProblem(path);
        if (!problem.empty()) {
            throw badInput(at + ": the path \"" + printablePath(path) + "\" " + problem);
        }
        const std::string parent = parentPath(path);
        if (parent.empty()) return;
        const auto found = m_names.find(parent);
        if (found == m_names.end()) {
            throw badInput(at + ": the directory of \"" + printablePath(path) +
                           "\" is not recorded before it");
        }
        if (found->second == ManifestFile::Kind::Symlink) {
            throw badInput(at + ": \"" + printablePath(path) +
                           "\" would pass through the symbolic link \"" + printablePath(parent) +
                           "\" the set records");
        }
        if (found->second != ManifestFile::Kind::Directory) {
            throw badInput(at + ": \"" + printablePath(path) + "\" lies under \"" +
                           printablePath(parent) + "\", which is not a directory");
        }
    }

    // The shares of a file or stream input, as its format lists them.
    std::vector<ManifestShare> sharesFor(const json& entry, ManifestFile& file,
                                         const std::string& at) const {
        if (file.isStream()) {
            readStripes(entry, file, at);
            return stripedSharesOf(array(entry, "streams", at), file, m_staged, at);
        }
        if (m_third) {
            return sparseSharesOf(entry, file.size, m_archives, m_staged,
                                  file.isFile() ? frameSizeOf(m_stages) : 0, at);
        }
        return sharesOf(array(entry, "streams", at), file.size, at);
    }

    // Checks the shares against the set's archive files, and that each
    // follows the previous file's share in its stream (a share of format 3
    // left out or listed empty is put at the stream's end); then moves the
    // streams' ends past them.
    void placeShares(ManifestFile& file, const std::string& at) {
        if (file.shares.size() != m_archives.size()) {
            throw badInput(at + " has " + std::to_string(file.shares.size()) +
                           " streams, the set " + std::to_string(m_archives.size()));
        }
        for (std::size_t k = 0; k < file.shares.size(); ++k) {
            ManifestShare& share = file.shares[k];
            const std::string stream = at + " stream " + std::to_string(k + 1);
            if (!sameArchive(share.archive, m_archives[k])) {
                throw badInput(stream + " names another archive file than the set's");
            }
            if (share.size == 0 && m_third && file.isFile()) share.seekOffset = m_streamEnd[k];
            if (share.seekOffset != m_streamEnd[k]) {
                throw badInput(stream + ": \"seekOffset\" " + std::to_string(share.seekOffset) +
                               " does not follow the previous file's share (" +
                               std::to_string(m_streamEnd[k]) + ")");
            }
            if (share.storedSize > std::numeric_limits<uint64_t>::max() - m_streamEnd[k]) {
                throw badInput(stream + ": its archive file would end past 2^64 bytes");
            }
            m_streamEnd[k] += share.storedSize;
        }
    }

    const bool m_staged;   // format 4 or later: shares record their stored size and digest
    const bool m_third;    // format 3 or later
    const bool m_chained;  // format 5
    const ManifestStages& m_stages;
    const std::vector<ManifestArchive>& m_archives;
    const std::vector<ManifestReference>& m_references;
    std::vector<uint64_t> m_streamEnd;                  // where each stream's next share starts
    std::map<std::string, ManifestFile::Kind> m_names;  // each name recorded so far, and its kind
};

// Format 2, 3, 4 or 5: the set's archive files, then its entries.
Manifest currentFormat(const json& document, int version, const std::string& where) {
    Manifest manifest;
    manifest.version = version;
    manifest.jobId = number<unsigned long long>(document, "jobId", where);
    manifest.createdAt = optionalText(document, "createdAt", where);
    if (version == kStagedVersion || (version == kChainVersion && document.contains("stages"))) {
        manifest.stages = stagesOf(document, where);
    }
    manifest.archives = archivesOf(document, where);
    if (version == kChainVersion) {
        manifest.references = referencesOf(document, manifest.jobId, where);
    }
    if (const auto found = document.find("backup"); found != document.end()) {
        manifest.chain = chainOf(*found, where);
    }
    FileEntries entries(version, manifest.stages, manifest.archives, manifest.references);
    for (const json& entry : array(document, "files", where)) {
        const std::string at = where + " file " + std::to_string(manifest.files.size() + 1);
        manifest.files.push_back(entries.read(entry, at));
    }
    if (const auto found = document.find("postgres"); found != document.end()) {
        manifest.cluster = clusterOf(*found, where);
    }
    if (const auto found = document.find("wal"); found != document.end()) {
        manifest.wal = walOf(*found, where);
    }
    return manifest;
}

// An archive file as the manifest writes it.
json archiveJson(const ManifestArchive& a) {
    return {{"stream", a.stream},
            {"trellanId", a.trellanId},
            {"groupNumber", a.groupNumber},
            {"afileId", a.afileId}};
}

json archivesJson(const std::vector<ManifestArchive>& list) {
    json archives = json::array();
    for (const ManifestArchive& a : list) archives.push_back(archiveJson(a));
    return archives;
}

json stagesJson(const ManifestStages& stages) {
    json object = {{"codec", codecName(stages.codec)},
                   {"level", stages.level},
                   {"frameSize", stages.frameSize}};
    if (stages.encrypted()) object["wrappedKey"] = stages.wrappedKey;
    return object;
}

// A piece as the manifest writes it: where it lies, and for this job's own
// its digests.
json pieceJson(const ManifestPiece& p) {
    json object = json::object();
    if (p.heldBy != 0) object["heldBy"] = p.heldBy;
    object.update(archiveJson(p.archive));
    object["sourceOffset"] = p.sourceOffset;
    object["seekOffset"] = p.seekOffset;
    object["size"] = p.size;
    object["storedSize"] = p.storedSize;
    if (!p.frames.empty()) {
        object["frameIndex"] = p.frameIndex;
        object["frameOffset"] = p.frameOffset;
        object["frames"] = p.frames;
    }
    if (p.heldBy == 0) {
        object["sha256"] = p.sha256;
        object["storedSha256"] = p.storedSha256;
    }
    return object;
}

json referenceJson(const ManifestReference& reference) {
    json object = {{"jobId", reference.jobId}, {"archiveFiles", archivesJson(reference.archives)}};
    if (reference.stages.framed) object["stages"] = stagesJson(reference.stages);
    return object;
}

}  // namespace

unsigned long stripeStream(uint64_t stripe, unsigned long streams) {
    return static_cast<unsigned long>(stripe % streams) + 1;
}

uint64_t stripeShareOffset(uint64_t stripe, uint64_t stripeUnit, unsigned long streams) {
    return stripe / streams * stripeUnit;
}

uint64_t stripedShareSize(uint64_t size, uint64_t stripeUnit, unsigned long streams,
                          unsigned long k) {
    const uint64_t whole = size / stripeUnit;  // full stripes
    uint64_t bytes = (whole / streams + (k - 1 < whole % streams ? 1 : 0)) * stripeUnit;
    if (size % stripeUnit != 0 && whole % streams == k - 1) bytes += size % stripeUnit;
    return bytes;
}

std::string archiveFileName(const ManifestArchive& archive) {
    return std::to_string(archive.trellanId) + "-" + std::to_string(archive.groupNumber) + "-" +
           std::to_string(archive.afileId);
}

void requireRecordableName(const std::string& name, const std::string& path) {
    try {
        (void)json(name).dump();
    } catch (const json::type_error&) {
        throw badInput("input " + path +
                       ": its name is not valid UTF-8, which a manifest cannot record");
    }
}

bool holdsTree(const Manifest& manifest) {
    for (const ManifestFile& f : manifest.files) {
        if (f.kind == ManifestFile::Kind::Directory || f.kind == ManifestFile::Kind::Symlink ||
            f.name.find('/') != std::string::npos) {
            return true;
        }
    }
    return false;
}

const ManifestReference* Manifest::referenceTo(unsigned long long job) const {
    for (const ManifestReference& reference : references) {
        if (reference.jobId == job) return &reference;
    }
    return nullptr;
}

Manifest jobView(const Manifest& manifest, unsigned long long job) {
    if (job == 0 || job == manifest.jobId) return manifest;
    const ManifestReference* reference = manifest.referenceTo(job);
    if (!reference) {
        throw badInput("job " + std::to_string(manifest.jobId) + " refers to no job " +
                       std::to_string(job));
    }
    Manifest view;
    view.version = manifest.version;
    view.jobId = job;
    view.archives = reference->archives;
    view.stages = reference->stages;
    return view;
}

std::string manifestText(const Manifest& manifest) {
    json files = json::array();
    const bool third = manifest.version >= kStreamVersion;
    // Each share's stored size and digest.
    const bool stored = manifest.version >= kStagedVersion;
    for (const ManifestFile& f : manifest.files) {
        json entry = {{"name", f.name}};
        if (third) {
            static const char* const kinds[] = {"file", "stream", "directory", "symlink"};
            entry["kind"] = kinds[static_cast<int>(f.kind)];
        }
        if (f.hasMtime) entry["mtime"] = f.mtime;
        if (f.kind == ManifestFile::Kind::Symlink) {
            entry["target"] = f.target;
            files.push_back(entry);
            continue;
        }
        entry["mode"] = f.mode;
        if (f.kind == ManifestFile::Kind::Directory) {
            files.push_back(entry);
            continue;
        }
        entry["size"] = f.size;
        entry["sha256"] = f.sha256;
        if (f.hasIdentity) {
            entry["inode"] = f.inode;
            entry["ctime"] = f.ctime;
        }
        if (f.heldBy != 0) entry["heldBy"] = f.heldBy;
        if (f.blockSize != 0) {
            entry["blockSize"] = f.blockSize;
            entry["blocks"] = f.blocks;
        }
        if (f.hasPieces()) {
            json pieces = json::array();
            for (const ManifestPiece& p : f.pieces) pieces.push_back(pieceJson(p));
            entry["pieces"] = pieces;
            files.push_back(entry);
            continue;
        }
        if (!f.partsSha256.empty()) entry["partsSha256"] = f.partsSha256;
        if (f.isStream()) {
            entry["stripeUnit"] = f.stripeUnit;
            entry["stripes"] = f.stripes;
        }
        json shares = json::array();
        for (const ManifestShare& s : f.shares) {
            // Format 3 leaves a file's empty shares out.
            if (third && f.isFile() && s.size == 0) continue;
            json share = archiveJson(s.archive);
            share["sourceOffset"] = s.sourceOffset;
            share["seekOffset"] = s.seekOffset;
            share["size"] = s.size;
            share["sha256"] = s.sha256;
            if (stored) {
                share["storedSize"] = s.storedSize;
                share["storedSha256"] = s.storedSha256;
            }
            if (!s.frames.empty()) share["frames"] = s.frames;
            shares.push_back(share);
        }
        entry["streams"] = shares;
        files.push_back(entry);
    }
    json document = {{"format", kFormat},
                     {"version", manifest.version},
                     {"jobId", manifest.jobId},
                     {"createdAt", manifest.createdAt},
                     {"archiveFiles", archivesJson(manifest.archives)},
                     {"files", files}};
    if (manifest.stages.framed) document["stages"] = stagesJson(manifest.stages);
    if (manifest.chain) document["backup"] = chainJson(*manifest.chain);
    if (manifest.version == kChainVersion) {
        json references = json::array();
        for (const ManifestReference& r : manifest.references)
            references.push_back(referenceJson(r));
        document["references"] = references;
    }
    if (manifest.cluster) document["postgres"] = clusterJson(*manifest.cluster);
    if (manifest.wal) document["wal"] = walJson(*manifest.wal);
    return document.dump(2) + "\n";
}

void saveManifest(const Manifest& manifest, const std::string& path) {
    OutputFile file(path, OutputFile::Options{});
    file.append(manifestText(manifest));
    file.commit();
}

Manifest loadManifest(const std::string& path) {
    // A directory or a FIFO is refused here, not by a read error of the parse.
    requireReadableFile(path, "manifest");
    // Read from one descriptor that is checked again: a FIFO swapped in
    // since the look above is refused, not waited on.
    return parseManifest(readRegularFile(path, "manifest"), path);
}

Manifest parseManifest(const std::string& text, const std::string& path) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& error) {
        // Not JSON, or a number past what a double holds.
        throw badInput("manifest " + path + " is corrupt: " + error.what());
    }
    const auto format = document.is_object() ? document.find("format") : document.end();
    if (format == document.end() || !format->is_string() || *format != kFormat) {
        throw badInput(path + " is not a pipeline-agent manifest");
    }
    const auto version = document.find("version");
    const std::string where = "manifest " + path;
    try {
        if (version != document.end() && *version == kFirstVersion) {
            return firstFormat(document, where);
        }
        if (version != document.end() && (*version == kVersion || *version == kStreamVersion ||
                                         *version == kStagedVersion ||
                                         *version == kChainVersion)) {
            return currentFormat(document, version->get<int>(), where);
        }
    } catch (const json::exception& error) {
        // A field of a type the checks above did not expect.
        throw badInput(where + " is not a valid manifest: " + error.what());
    }
    throw badInput("manifest " + path + " has a version this agent does not know");
}
