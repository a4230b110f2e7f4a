#include "streams/BackupStreams.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "platform/local/ArchiveFiles.h"
#include "stages/FrameEncoder.h"
#include "stages/FrameFormat.h"

// A stream input's stripes are its frames when the job has stages: a
// manifest naming larger ones is refused (manifest/Manifest.cpp).
static_assert(BackupStreams::kStripeUnit <= frame_format::kMaxFrameSize);

namespace {

// Runs `/bin/sh -c command sh path` and waits for it; throws AgentError
// (failed job) unless it exits 0.
void runTestCommand(const std::string& command, const std::string& path) {
    const char* argv[] = {"sh", "-c", command.c_str(), "sh", path.c_str(), nullptr};
    pid_t child = 0;
    const int error =
        ::posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ);
    if (error != 0) {
        throw jobFailed("cannot run the test command: " + std::string(std::strerror(error)));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw jobFailed("the test command after the first chunk of " + path + " failed");
    }
}

}  // namespace

BackupStreams::BackupStreams(std::vector<const InputFile*> inputs, unsigned long streams,
                             unsigned long long jobId, unsigned long failStream,
                             StreamPhases* phases, PipeInput* stream)
    : m_inputs(std::move(inputs)),
      m_streamCount(streams),
      m_jobId(jobId),
      m_failStream(failStream),
      m_phases(phases),
      m_stream(stream),
      m_inputCount(m_inputs.size() + (stream ? 1 : 0)),
      m_streams(streams),
      m_fileDigests(m_inputCount),
      m_partDigests(m_inputCount, std::vector<std::string>(streams)),
      m_partSizes(m_inputCount, std::vector<uint64_t>(streams)),
      m_storedOffsets(m_inputCount, std::vector<uint64_t>(streams)),
      m_storedSizes(m_inputCount, std::vector<uint64_t>(streams)),
      m_storedDigests(m_inputCount, std::vector<std::string>(streams)),
      m_storedEnd(streams, 0),
      m_partly(m_inputs.size(), false),
      m_extents(m_inputs.size()),
      m_pieces(m_inputs.size(), std::vector<std::vector<FileExtent>>(streams)),
      m_blockDigests(m_inputCount),
      m_frames(m_inputCount, std::vector<std::vector<uint64_t>>(streams)),
      m_stored(m_inputCount, std::vector<std::vector<StoredPiece>>(streams)) {
    for (const InputFile* input : m_inputs) m_readSizes.push_back(input->size());
    plan();
}

void BackupStreams::plan() {
    const unsigned long streams = m_streamCount;
    uint64_t total = 0;
    for (const uint64_t size : m_readSizes) total += size;
    m_placement = placeFiles(m_readSizes, streams, wholeFileLimit(total, streams));
    for (std::size_t file = 0; file < m_inputs.size(); ++file) {
        const uint64_t size = m_readSizes[file];
        for (unsigned long k = 1; k <= streams; ++k) {
            m_partSizes[file][k - 1] = m_placement[file] == 0
                                           ? cut(file, k) - cut(file, k - 1)
                                           : (m_placement[file] == k ? size : 0);
        }
    }
    m_prefix.assign(streams, std::vector<uint64_t>(m_inputs.size() + 1, 0));
    for (unsigned long k = 0; k < streams; ++k) {
        for (std::size_t file = 0; file < m_inputs.size(); ++file) {
            m_prefix[k][file + 1] = m_prefix[k][file] + m_partSizes[file][k];
        }
    }
    // Each part of a file read in part: the extents, or what of them falls
    // in it, in order.
    for (std::size_t file = 0; file < m_inputs.size(); ++file) {
        if (!m_partly[file]) continue;
        for (unsigned long k = 1; k <= streams; ++k) {
            std::vector<FileExtent>& pieces = m_pieces[file][k - 1];
            pieces.clear();
            const uint64_t from = partOffset(file, k), to = from + m_partSizes[file][k - 1];
            uint64_t at = 0;  // where the extent starts in what is read
            for (const FileExtent& extent : m_extents[file]) {
                const uint64_t start = std::max(at, from), end = std::min(at + extent.length, to);
                if (start < end) pieces.push_back({extent.offset + (start - at), end - start});
                at += extent.length;
            }
        }
    }
}

uint64_t BackupStreams::cut(std::size_t file, unsigned long k) const {
    const uint64_t size = m_readSizes[file];
    if (k == m_streamCount) return size;
    const uint64_t even = size * k / m_streamCount;
    // A file read in part is cut at block boundaries, so that each piece
    // holds whole blocks (and, with stages, whole frames).
    return m_partly[file] ? even / m_blockSize * m_blockSize : even;
}

void BackupStreams::useBlocks(uint64_t blockSize,
                              std::map<std::size_t, std::vector<FileExtent>> partly) {
    m_blockSize = blockSize;
    for (auto& [file, extents] : partly) {
        m_partly[file] = true;
        m_readSizes[file] = 0;
        for (const FileExtent& extent : extents) m_readSizes[file] += extent.length;
        m_extents[file] = std::move(extents);
    }
    plan();
}

uint64_t BackupStreams::wholeFileLimit(uint64_t total, unsigned long streams) {
    return std::min<uint64_t>(kSplitAbove, total / streams);
}

std::vector<unsigned long> BackupStreams::placeFiles(const std::vector<uint64_t>& sizes,
                                                     unsigned long streams, uint64_t limit) {
    std::vector<unsigned long> placement;
    std::vector<uint64_t> load(streams, 0);
    for (const uint64_t size : sizes) {
        if (size > limit && streams > 1) {
            for (unsigned long k = 1; k <= streams; ++k) {
                load[k - 1] += size * k / streams - size * (k - 1) / streams;
            }
            placement.push_back(0);
            continue;
        }
        const auto least = std::min_element(load.begin(), load.end()) - load.begin();
        load[static_cast<std::size_t>(least)] += size;
        placement.push_back(static_cast<unsigned long>(least) + 1);
    }
    return placement;
}

BackupStreams::~BackupStreams() { stop(); }

uint64_t BackupStreams::partOffset(std::size_t file, unsigned long stream) const {
    if (file == m_inputs.size()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::min<uint64_t>(uint64_t{stream - 1} * kStripeUnit, m_streamSize);
    }
    const uint64_t size = m_readSizes[file];
    if (m_placement[file] != 0) return stream <= m_placement[file] ? 0 : size;
    return cut(file, stream - 1);
}

uint64_t BackupStreams::partSize(std::size_t file, unsigned long stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_partSizes[file][stream - 1];
}

void BackupStreams::useStages(JobStages stages, std::vector<std::string> names) {
    m_stages = std::move(stages);
    m_names = std::move(names);
    m_names.resize(m_inputCount);
}

uint64_t BackupStreams::storedSize(std::size_t file, unsigned long stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_storedSizes[file][stream - 1];
}

std::string BackupStreams::storedDigest(std::size_t file, unsigned long stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_storedDigests[file][stream - 1];
}

void BackupStreams::partBegins(unsigned long k, std::size_t file) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_storedOffsets[file][k - 1] = m_storedEnd[k - 1];
}

void BackupStreams::partEnds(unsigned long k, std::size_t file, uint64_t size,
                             const std::string& digest) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_storedSizes[file][k - 1] = size;
    m_storedDigests[file][k - 1] = digest;
    m_storedEnd[k - 1] += size;
}

std::unique_ptr<FrameEncoder> BackupStreams::encoderFor(
    unsigned long k, std::size_t file, std::size_t frameSize, Sha256& storedDigest,
    uint64_t& storedBytes, std::function<void(const StoredFrame&)> also) {
    if (!m_stages) return nullptr;
    return std::make_unique<FrameEncoder>(
        m_stages->part(m_names[file], m_streamsBefore + k, frameSize),
        [this, k, &storedDigest, &storedBytes, also = std::move(also)](const StoredFrame& frame) {
            append(k, frame.data, frame.size);
            storedDigest.update(frame.data, frame.size);
            storedBytes += frame.size;
            if (also) also(frame);
        });
}

uint64_t BackupStreams::archiveOffset(std::size_t file, unsigned long stream) const {
    if (m_stages) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return file < m_inputCount ? m_storedOffsets[file][stream - 1] : m_storedEnd[stream - 1];
    }
    // The files' parts are known from the start; only the stream input's
    // (last) grow as it is read.
    if (file <= m_inputs.size()) return m_prefix[stream - 1][file];
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_prefix[stream - 1][m_inputs.size()] + m_partSizes[m_inputs.size()][stream - 1];
}

uint64_t BackupStreams::streamInputSize() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_streamSize;
}

std::vector<std::string> BackupStreams::stripeDigests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stripeDigests;
}

ManifestFile BackupStreams::streamInputEntry(const std::string& name,
                                             const std::vector<ManifestArchive>& archives) const {
    const std::size_t file = m_inputs.size();
    ManifestFile entry;
    entry.name = name;
    entry.size = streamInputSize();
    entry.mode = kPipeInputMode;
    entry.sha256 = fileDigest(file);
    entry.kind = ManifestFile::Kind::Stream;
    entry.stripeUnit = kStripeUnit;
    entry.stripes = stripeDigests();
    for (unsigned long k = 1; k <= m_streamCount; ++k) {
        ManifestShare share;
        share.archive = archives[k - 1];
        share.sourceOffset = partOffset(file, k);
        share.seekOffset = archiveOffset(file, k);
        share.size = partSize(file, k);
        share.sha256 = partDigest(file, k);
        share.storedSize = storedSize(file, k);
        share.storedSha256 = storedDigest(file, k);
        entry.shares.push_back(share);
    }
    return entry;
}

void BackupStreams::startReading() {
    try {
        m_reader = std::thread([this] { read(); });
    } catch (const std::system_error& error) {
        throw jobFailed(std::string("cannot start a thread for the reader: ") + error.what());
    }
}

void BackupStreams::startStream(unsigned long stream) {
    Stream& started = m_streams[stream - 1];
    try {
        started.thread = std::thread([this, stream] { write(stream); });
    } catch (const std::system_error& error) {
        throw jobFailed("cannot start a thread for stream " + std::to_string(stream) + ": " +
                        error.what());
    }
    // Until it waits at its first part, so that the caller can let it begin
    // at once rather than after the next stream's setup.
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ownerWakes.wait(lock, [&] { return stopping() || started.waitingAt || started.finished; });
}

std::optional<BackupStreams::PartStart> BackupStreams::nextPartStart(
    std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::optional<PartStart> found;
    const auto waiting = [&] {
        if (stopping() || (m_readerFinished && m_finished == m_streamCount)) return true;
        for (unsigned long k = 0; k < m_streamCount; ++k) {
            if (m_streams[k].waitingAt && *m_streams[k].waitingAt >= m_streams[k].allowed) {
                found = PartStart{k + 1, *m_streams[k].waitingAt};
                return true;
            }
        }
        return false;
    };
    m_ownerWakes.wait_for(lock, wait, waiting);
    return stopping() ? std::nullopt : found;
}

void BackupStreams::beginPart(PartStart start) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Stream& stream = m_streams[start.stream - 1];
        stream.allowed = std::max(stream.allowed, start.file + 1);
    }
    m_streams[start.stream - 1].writerWakes.notify_one();
}

std::size_t BackupStreams::filesWritten() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::size_t written = m_filesRead;
    for (const Stream& stream : m_streams) written = std::min(written, stream.written);
    return written;
}

bool BackupStreams::done() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_failure && m_readerFinished && m_finished == m_streamCount;
}

std::exception_ptr BackupStreams::failure() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

void BackupStreams::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    wakeAll();
    if (m_reader.joinable()) m_reader.join();
    for (Stream& stream : m_streams) {
        if (stream.thread.joinable()) stream.thread.join();
    }
}

std::string BackupStreams::partDigest(std::size_t file, unsigned long stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_partDigests[file][stream - 1];
}

std::string BackupStreams::fileDigest(std::size_t file) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fileDigests[file];
}

std::string BackupStreams::blockDigests(std::size_t file) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blockDigests[file];
}

std::vector<uint64_t> BackupStreams::partFrames(std::size_t file, unsigned long stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames[file][stream - 1];
}

std::vector<BackupStreams::StoredPiece> BackupStreams::storedPieces(std::size_t file,
                                                                    unsigned long stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stored[file][stream - 1];
}

bool BackupStreams::stopping() const { return m_stop || m_failure; }

void BackupStreams::fail(std::exception_ptr error) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_failure) m_failure = error;
    }
    wakeAll();
}

void BackupStreams::wakeAll() {
    // A writer waiting out the rate limit goes on too.
    if (m_phases) m_phases->stopPacing();
    m_readerWakes.notify_all();
    m_ownerWakes.notify_all();
    for (Stream& stream : m_streams) stream.writerWakes.notify_all();
}

// A buffer of at least size bytes for chunk, one to use again when there is
// one. False when the job stops first.
bool BackupStreams::takeBuffer(Chunk& chunk, std::size_t size) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (stopping()) return false;
        if (!m_spare.empty()) {
            chunk.data = std::move(m_spare.back());
            m_spare.pop_back();
        }
    }
    if (chunk.data.size() < size) chunk.data.resize(size);
    return true;
}

// Queues chunk for stream k once its queue has room. False when the job
// stops first.
bool BackupStreams::queueChunk(unsigned long k, Chunk chunk) {
    std::unique_lock<std::mutex> lock(m_mutex);
    Stream& stream = m_streams[k - 1];
    m_readerWakes.wait(lock, [&] { return stopping() || stream.queue.size() < kDepth; });
    if (stopping()) return false;
    stream.queue.push_back(std::move(chunk));
    lock.unlock();
    stream.writerWakes.notify_one();
    return true;
}

// Reads every file once, in order, so that one digest per file sees its
// bytes in order, and queues each chunk for the stream whose part it is
// (side by side, when so asked, each run of files placed whole on their
// streams, and each split file).
void BackupStreams::read() {
    try {
        for (std::size_t file = 0; file < m_inputs.size();) {
            std::size_t end = file;
            while (m_sideBySide && end < m_inputs.size() && placedWhole(end)) ++end;
            if (end > file) {
                if (!readPlacedSideBySide(file, end)) return;
            } else {
                if (!readFile(file)) return;
                end = file + 1;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_filesRead = end;
            file = end;
        }
        if (m_stream && !readStream(m_inputs.size())) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (stopping()) return;
            m_readerFinished = true;
        }
        m_ownerWakes.notify_all();
    } catch (...) {
        fail(std::current_exception());
    }
}

// Reads file `file`, part after part in stream order (of a file read in
// part, piece after piece; a split file side by side when so asked,
// readSideBySide), digesting it when it is split and, with blocks,
// block by block, and checks that it did not change meanwhile. False when
// the job stops first.
bool BackupStreams::readFile(std::size_t file) {
    // A file of a tree is opened only now, and closed once read.
    const InputFile& input = *m_inputs[file];
    input.open();
    Sha256 digest;
    // A file placed whole on a stream is digested there, once.
    Sha256* const whole = m_placement[file] == 0 && !m_partly[file] ? &digest : nullptr;
    std::optional<BlockDigests> blocks;
    if (m_blockSize != 0 && (m_partly[file] || input.size() > m_blockSize)) {
        blocks.emplace(m_blockSize);
    }
    BlockDigests* const digests = blocks ? &*blocks : nullptr;
    bool firstChunk = true;
    const bool allRead = m_sideBySide && whole && !input.readsLive()
                          ? readSideBySide(file, digest, digests, firstChunk)
                          : readPartsInTurn(file, whole, digests, firstChunk);
    if (!allRead) return false;
    // Its last byte is read: the file must still be the one whose
    // size and times were taken before the first.
    input.requireUnchanged();
    input.release();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (whole) m_fileDigests[file] = digest.hex();
    if (blocks) m_blockDigests[file] = blocks->finish();
    return true;
}

// Reads file `file`'s parts one after another in stream order (of a file
// read in part, piece after piece), digesting it into whole when given and
// by blocks into blocks when given. False when the job stops first.
bool BackupStreams::readPartsInTurn(std::size_t file, Sha256* whole, BlockDigests* blocks,
                                    bool& firstChunk) {
    for (unsigned long k = 1; k <= m_streamCount; ++k) {
        if (!m_partly[file]) {
            const uint64_t from = partOffset(file, k);
            if (!readRange(file, k, 0, from, from + m_partSizes[file][k - 1], whole, blocks,
                           firstChunk)) {
                return false;
            }
            continue;
        }
        const std::vector<FileExtent>& pieces = m_pieces[file][k - 1];
        for (std::size_t piece = 0; piece < pieces.size(); ++piece) {
            const FileExtent& extent = pieces[piece];
            if (!readRange(file, k, piece, extent.offset, extent.offset + extent.length, nullptr,
                           blocks, firstChunk)) {
                return false;
            }
        }
    }
    return true;
}

// Reads split file `file`'s parts side by side: each turn, a chunk for the
// next stream (round the streams) whose part has bytes left and whose queue
// has room, waiting only while every such queue is full. Meanwhile a thread
// of its own reads the file through in order for its digest and its
// blocks'. False when the job stops first.
bool BackupStreams::readSideBySide(std::size_t file, Sha256& digest, BlockDigests* blocks,
                                   bool& firstChunk) {
    const InputFile& input = *m_inputs[file];
    std::exception_ptr digestFailure;
    std::thread digester([&] {
        try {
            std::vector<char> buffer(kChunk);
            for (uint64_t at = 0; at < input.size();) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    if (stopping()) return;
                }
                const auto length =
                    static_cast<std::size_t>(std::min<uint64_t>(kChunk, input.size() - at));
                input.readQuietly(buffer.data(), length, at);
                digest.update(buffer.data(), length);
                if (blocks) blocks->update(buffer.data(), length);
                at += length;
            }
        } catch (...) {
            digestFailure = std::current_exception();
        }
    });
    struct Joins {
        std::thread& thread;
        ~Joins() {
            if (thread.joinable()) thread.join();
        }
    } joins{digester};

    std::vector<uint64_t> next(m_streamCount);
    std::vector<uint64_t> end(m_streamCount);
    for (unsigned long k = 1; k <= m_streamCount; ++k) {
        next[k - 1] = partOffset(file, k);
        end[k - 1] = next[k - 1] + m_partSizes[file][k - 1];
    }
    unsigned long k = 0;
    for (;;) {
        const std::optional<unsigned long> chosen =
            streamWithRoom(k, [&](unsigned long j) { return next[j - 1] < end[j - 1]; });
        if (!chosen) return false;
        k = *chosen;
        if (k == 0) break;
        const uint64_t from = next[k - 1];
        const uint64_t to = from + std::min<uint64_t>(kChunk, end[k - 1] - from);
        if (!readRange(file, k, 0, from, to, nullptr, nullptr, firstChunk)) return false;
        next[k - 1] = to;
    }
    digester.join();
    if (digestFailure) std::rethrow_exception(digestFailure);
    return true;
}

std::optional<unsigned long> BackupStreams::streamWithRoom(
    unsigned long after, const std::function<bool(unsigned long)>& hasBytesLeft) {
    unsigned long found = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_readerWakes.wait(lock, [&] {
        if (stopping()) return true;
        bool left = false;
        for (unsigned long i = 1; i <= m_streamCount; ++i) {
            const unsigned long k = (after + i - 1) % m_streamCount + 1;
            if (!hasBytesLeft(k)) continue;
            left = true;
            if (m_streams[k - 1].queue.size() < kDepth) {
                found = k;
                return true;
            }
        }
        return !left;
    });
    if (stopping()) return std::nullopt;
    return found;
}

bool BackupStreams::placedWhole(std::size_t file) const {
    return m_placement[file] != 0 && !m_partly[file] && !m_inputs[file]->readsLive();
}

// Reads files [first, end), each placed whole on its stream, side by side:
// each stream goes through its own files in order, a chunk at a time, and
// each turn serves the next stream (round the streams) whose file has bytes
// left and whose queue has room. A file is opened when its stream comes to
// it, digested block by block as it is read, and checked unchanged and
// closed after its last byte; so at most one file a stream is open. False
// when the job stops first.
bool BackupStreams::readPlacedSideBySide(std::size_t first, std::size_t end) {
    struct Cursor {
        std::deque<std::size_t> files;  // its files still to read, in order
        bool opened = false;            // files.front() is open
        uint64_t at = 0;                // the next byte of files.front()
        bool firstChunk = true;
        std::optional<BlockDigests> blocks;
    };
    std::vector<Cursor> cursors(m_streamCount);
    for (std::size_t file = first; file < end; ++file) {
        cursors[m_placement[file] - 1].files.push_back(file);
    }
    // Opens the stream's next file, and closes each one read to its end.
    const auto settle = [&](Cursor& cursor) {
        while (!cursor.files.empty()) {
            const std::size_t file = cursor.files.front();
            const InputFile& input = *m_inputs[file];
            if (!cursor.opened) {
                input.open();
                cursor.opened = true;
                cursor.at = 0;
                cursor.firstChunk = true;
                if (m_blockSize != 0 && input.size() > m_blockSize) {
                    cursor.blocks.emplace(m_blockSize);
                }
            }
            if (cursor.at < input.size()) return;
            input.requireUnchanged();
            input.release();
            if (cursor.blocks) {
                std::string digests = cursor.blocks->finish();
                cursor.blocks.reset();
                std::lock_guard<std::mutex> lock(m_mutex);
                m_blockDigests[file] = std::move(digests);
            }
            cursor.files.pop_front();
            cursor.opened = false;
        }
    };
    for (Cursor& cursor : cursors) settle(cursor);
    unsigned long k = 0;
    for (;;) {
        const std::optional<unsigned long> chosen =
            streamWithRoom(k, [&](unsigned long j) { return !cursors[j - 1].files.empty(); });
        if (!chosen) return false;
        k = *chosen;
        if (k == 0) return true;
        Cursor& cursor = cursors[k - 1];
        const std::size_t file = cursor.files.front();
        const uint64_t to =
            cursor.at + std::min<uint64_t>(kChunk, m_inputs[file]->size() - cursor.at);
        if (!readRange(file, k, 0, cursor.at, to, nullptr,
                       cursor.blocks ? &*cursor.blocks : nullptr, cursor.firstChunk)) {
            return false;
        }
        cursor.at = to;
        settle(cursor);
    }
}

bool BackupStreams::readRange(std::size_t file, unsigned long k, std::size_t piece,
                              uint64_t offset, uint64_t end, Sha256* digest, BlockDigests* blocks,
                              bool& firstChunk) {
    const InputFile& input = *m_inputs[file];
    while (offset < end) {
        Chunk chunk;
        chunk.file = file;
        chunk.piece = piece;
        chunk.length = static_cast<std::size_t>(std::min<uint64_t>(kChunk, end - offset));
        if (!takeBuffer(chunk, kChunk)) return false;
        input.readAt(chunk.data.data(), chunk.length, offset);
        if (firstChunk && !m_afterFirstChunk.empty()) {
            runTestCommand(m_afterFirstChunk, input.path());
        }
        firstChunk = false;
        if (digest) digest->update(chunk.data.data(), chunk.length);
        // The blocks' digests are of the bytes handed on, which the stream
        // stores.
        if (blocks) blocks->update(chunk.data.data(), chunk.length);
        offset += chunk.length;
        if (!queueChunk(k, std::move(chunk))) return false;
    }
    return true;
}

// The next chunk handed to stream k, once there is one. None when the job
// stops first.
std::optional<BackupStreams::Chunk> BackupStreams::nextChunk(unsigned long k) {
    std::optional<Chunk> chunk;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        Stream& stream = m_streams[k - 1];
        stream.writerWakes.wait(lock, [&] { return stopping() || !stream.queue.empty(); });
        if (stopping()) return std::nullopt;
        chunk = std::move(stream.queue.front());
        stream.queue.pop_front();
    }
    m_readerWakes.notify_one();
    return chunk;
}

namespace {

// However a writer ends (done, stopped, failed), its data phase ends.
struct EndsDataPhase {
    StreamPhases* phases;
    unsigned long stream;
    ~EndsDataPhase() {
        try {
            if (phases) phases->enter(stream, Phase::Idle);
        } catch (...) {
            // No memory to record it: the job's end ends the phase.
        }
    }
};

}  // namespace

void BackupStreams::write(unsigned long k) {
    const EndsDataPhase endsDataPhase{m_phases, k};
    try {
        bool begun = false;
        for (std::size_t file = 0; file < m_inputCount; ++file) {
            // An empty part of a file writes nothing: no need to look at
            // where the stream stands.
            partBegins(k, file);
            if (file < m_inputs.size() && m_partSizes[file][k - 1] == 0) {
                emptyPart(k, file);
                continue;
            }
            if (!waitToBegin(k, file)) return;
            if (m_phases && !begun) m_phases->enter(k, Phase::Data);
            begun = true;
            const bool written =
                file == m_inputs.size() ? writeStreamShare(k, file) : writePart(k, file);
            if (!written) return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_streams[k - 1].finished = true;
            ++m_finished;
        }
        m_ownerWakes.notify_all();
    } catch (...) {
        fail(std::current_exception());
    }
}

// Records stream k's empty part of file: no bytes, the empty digest.
void BackupStreams::emptyPart(unsigned long k, std::size_t file) {
    const std::string empty = Sha256().hex();
    partEnds(k, file, 0, empty);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_partDigests[file][k - 1] = empty;
    // An empty file placed on this stream.
    if (m_placement[file] == k) m_fileDigests[file] = m_partDigests[file][k - 1];
    m_streams[k - 1].written = file + 1;
}

// Waits at the start of stream k's part of file until the owner lets it
// begin (beginPart). False when the job stops first.
bool BackupStreams::waitToBegin(unsigned long k, std::size_t file) {
    Stream& stream = m_streams[k - 1];
    std::unique_lock<std::mutex> lock(m_mutex);
    stream.waitingAt = file;
    m_ownerWakes.notify_all();
    stream.writerWakes.wait(lock, [&] { return stopping() || stream.allowed > file; });
    stream.waitingAt.reset();
    return !stopping();
}

namespace {

// What a writer gathers of the pieces of a part of a file read in part: each
// piece's digests and stored bytes, and its frames as the encoder makes them
// (a frame never holds bytes of two pieces: a piece is whole frames).
class PieceRecords {
public:
    explicit PieceRecords(const std::vector<FileExtent>& pieces) : m_pieces(pieces) {}

    // The next bytes of piece `piece`, which must be the current one or the
    // next; false when they are not.
    bool take(std::size_t piece, const char* data, std::size_t length) {
        if (piece != m_current) {
            if (piece != m_current + 1 || m_taken != m_pieces[m_current].length) return false;
            end();
            ++m_current;
            m_taken = 0;
        }
        if (length > m_pieces[m_current].length - m_taken) return false;
        if (!m_digest) m_digest = std::make_unique<Sha256>();
        if (!m_stored) m_stored = std::make_unique<Sha256>();
        m_digest->update(data, length);
        m_taken += length;
        return true;
    }
    // A stored frame, or (without stages) the stored bytes, of the current
    // piece.
    void stored(const void* data, std::size_t length, bool frame) {
        if (!m_stored) m_stored = std::make_unique<Sha256>();
        m_stored->update(data, length);
        m_storedBytes += length;
        if (frame) m_frames.push_back(length);
    }
    // Once the part's bytes are all written: every piece's record, in order.
    std::vector<BackupStreams::StoredPiece> finish() {
        if (m_current < m_pieces.size() && m_taken > 0) end();
        return std::move(m_done);
    }

private:
    void end() {
        BackupStreams::StoredPiece piece;
        piece.sourceOffset = m_pieces[m_current].offset;
        piece.size = m_pieces[m_current].length;
        piece.sha256 = m_digest->hex();
        piece.partOffset = m_partOffset;
        piece.storedSize = m_storedBytes;
        piece.storedSha256 = m_stored->hex();
        piece.frameIndex = m_frameIndex;
        piece.frames = std::move(m_frames);
        m_partOffset += m_storedBytes;
        m_frameIndex += piece.frames.size();
        m_storedBytes = 0;
        m_frames.clear();
        m_digest.reset();
        m_stored.reset();
        m_done.push_back(std::move(piece));
    }

    const std::vector<FileExtent>& m_pieces;
    std::size_t m_current = 0;
    uint64_t m_taken = 0;  // bytes of the current piece
    std::unique_ptr<Sha256> m_digest, m_stored;
    uint64_t m_storedBytes = 0, m_partOffset = 0, m_frameIndex = 0;
    std::vector<uint64_t> m_frames;
    std::vector<BackupStreams::StoredPiece> m_done;
};

}  // namespace

// Appends stream k's part of file (through its stages, if any) and records
// its digest and, once written, its stored size and digest, its frames and
// the pieces of a file read in part. False when the job stops first.
bool BackupStreams::writePart(unsigned long k, std::size_t file) {
    Sha256 digest;
    Sha256 storedDigest;
    uint64_t storedBytes = 0;
    std::optional<PieceRecords> pieces;
    if (m_partly[file]) pieces.emplace(m_pieces[file][k - 1]);
    // The frames of a file recorded by blocks.
    const bool frames = m_stages && m_blockSize != 0 &&
                        (m_partly[file] || m_inputs[file]->size() > m_blockSize);
    std::vector<uint64_t> frameSizes;
    // A part smaller than a frame is one frame: its buffers need be
    // no larger (a decoder accepts any frame up to the job's size).
    const auto encoder = encoderFor(
        k, file,
        m_stages ? static_cast<std::size_t>(std::min<uint64_t>(m_stages->frameSize,
                                                               partSize(file, k)))
                 : 0,
        storedDigest, storedBytes, [&](const StoredFrame& frame) {
            if (frames) frameSizes.push_back(frame.size);
            if (pieces) pieces->stored(frame.data, frame.size, true);
        });
    for (uint64_t left = partSize(file, k); left > 0;) {
        std::optional<Chunk> chunk = nextChunk(k);
        if (!chunk) return false;
        if (chunk->file != file || chunk->length > left ||
            (pieces && !pieces->take(chunk->piece, chunk->data.data(), chunk->length))) {
            throw jobFailed("stream " + std::to_string(k) + " was handed data out of order");
        }
        if (encoder) {
            encoder->write(chunk->data.data(), chunk->length);
        } else {
            append(k, chunk->data.data(), chunk->length);
            if (pieces) pieces->stored(chunk->data.data(), chunk->length, false);
        }
        if (m_phases) m_phases->moved(k, chunk->length);
        digest.update(chunk->data.data(), chunk->length);
        left -= chunk->length;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_spare.push_back(std::move(chunk->data));
    }
    if (encoder) encoder->finish();
    const std::string logical = digest.hex();
    if (encoder) {
        partEnds(k, file, storedBytes, storedDigest.hex());
    } else {
        partEnds(k, file, partSize(file, k), logical);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_partDigests[file][k - 1] = logical;
    m_frames[file][k - 1] = std::move(frameSizes);
    if (pieces) m_stored[file][k - 1] = pieces->finish();
    // Placed whole here: the part is the file.
    if (m_placement[file] == k) m_fileDigests[file] = m_partDigests[file][k - 1];
    m_streams[k - 1].written = file + 1;
    return true;
}

void BackupStreams::append(unsigned long k, const void* data, std::size_t length) {
    throwIfInterrupted();
    std::string error;
    if (k == m_failStream) error = "simulated write failure";
    if (!error.empty() ||
        !localplatform::writeStream(m_jobId, m_streamsBefore + k, data, length, &error)) {
        throw jobFailed("writing stream " + std::to_string(m_streamsBefore + k) +
                        " failed: " + error);
    }
}

// Reads the stream input to its end, a stripe at a time, and queues stripe i
// for stream (i mod N) + 1; then, once the producer ended well, tells every
// stream that the input ended. False when the job stops first.
bool BackupStreams::readStream(std::size_t file) {
    const auto stop = [this] {
        if (interruptSignal() != 0) return true;
        std::lock_guard<std::mutex> lock(m_mutex);
        return stopping();
    };
    Sha256 digest;
    uint64_t size = 0;
    for (uint64_t stripe = 0;; ++stripe) {
        Chunk chunk;
        chunk.file = file;
        chunk.stripe = stripe;
        if (!takeBuffer(chunk, kStripeUnit)) return false;
        chunk.length = m_stream->read(chunk.data.data(), kStripeUnit, stop);
        if (stop()) return false;
        if (chunk.length == 0) break;
        digest.update(chunk.data.data(), chunk.length);
        size += chunk.length;
        const bool last = chunk.length < kStripeUnit;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_stripeDigests.emplace_back();
        Stream& stream = m_streams[stripe % m_streamCount];
        m_readerWakes.wait(lock, [&] { return stopping() || stream.queue.size() < kDepth; });
        if (stopping()) return false;
        stream.queue.push_back(std::move(chunk));
        lock.unlock();
        stream.writerWakes.notify_one();
        if (last) break;
    }
    // Its end counts only once the producer is known to have ended well.
    if (!m_stream->finish(stop)) return false;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_streamSize = size;
    m_fileDigests[file] = digest.hex();
    for (Stream& stream : m_streams) {
        m_readerWakes.wait(lock, [&] { return stopping() || stream.queue.size() < kDepth; });
        if (stopping()) return false;
        Chunk end;
        end.file = file;
        end.end = true;
        stream.queue.push_back(std::move(end));
        stream.writerWakes.notify_one();
    }
    return true;
}

// Appends stream k's stripes of the stream input until the reader says it
// ended; records the share's size and digest and each stripe's digest.
// False when the job stops first.
bool BackupStreams::writeStreamShare(unsigned long k, std::size_t file) {
    Sha256 digest;
    uint64_t written = 0;
    Sha256 storedDigest;
    uint64_t storedBytes = 0;
    // One frame a stripe: a stripe is found by its index alone.
    const auto encoder = encoderFor(k, file, kStripeUnit, storedDigest, storedBytes);
    for (;;) {
        std::optional<Chunk> next = nextChunk(k);
        if (!next) return false;
        Chunk& chunk = *next;
        if (chunk.file != file || (!chunk.end && chunk.stripe % m_streamCount != k - 1)) {
            throw jobFailed("stream " + std::to_string(k) + " was handed data out of order");
        }
        if (chunk.end) break;
        if (encoder) {
            // A stripe is a whole frame: full stripes fill one, the last
            // (shorter) one is the share's end.
            encoder->write(chunk.data.data(), chunk.length);
        } else {
            append(k, chunk.data.data(), chunk.length);
        }
        if (m_phases) m_phases->moved(k, chunk.length);
        digest.update(chunk.data.data(), chunk.length);
        Sha256 stripe;
        stripe.update(chunk.data.data(), chunk.length);
        written += chunk.length;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stripeDigests[chunk.stripe] = stripe.hex();
        m_spare.push_back(std::move(chunk.data));
    }
    if (encoder) encoder->finish();
    const std::string logical = digest.hex();
    partEnds(k, file, encoder ? storedBytes : written, encoder ? storedDigest.hex() : logical);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_partSizes[file][k - 1] = written;
    m_partDigests[file][k - 1] = logical;
    return true;
}
