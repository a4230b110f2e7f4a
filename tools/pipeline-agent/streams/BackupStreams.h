#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Sha256.h"
#include "inputs/InputFile.h"
#include "inputs/PipeInput.h"
#include "manifest/BlockPieces.h"
#include "manifest/Manifest.h"
#include "report/StreamPhases.h"
#include "stages/JobStages.h"

class FrameEncoder;
struct StoredFrame;

// The data of a backup set over N streams: stream k's archive file holds,
// for file 1, 2, ... in turn, part k of the file. A file larger than
// wholeFileLimit is split: part k is bytes [size*(k-1)/N, size*k/N). Any
// other file is placed whole on one stream s (placeFiles): part s is the
// whole file, the parts before it are empty at its start and those after it
// empty at its end, so that the parts still tile the file in stream order.
// A stream skips its empty parts.
//
// One reader thread reads the files in order, once, digesting each split
// file as it goes (a file placed whole is digested once, by its stream;
// with readPartsSideBySide a split file's parts are read side by side and
// its digest taken by a second, in-order read), and hands each chunk to
// the stream whose part it is; one
// writer thread per stream digests its part of each file and appends it to
// the stream's archive file with localplatform::writeStream. Each stream
// holds at most kDepth chunks of kChunk bytes in its queue, so memory is
// bounded by streams x a fixed buffer whatever the files' sizes.
//
// Before a writer starts a file's part, it waits at that part's start until
// the owner, on its own thread, has looked at the stream's offset in its
// archive file (nextPartStart) and let it go on (beginPart): the library's
// objects stay on the owner's thread. The writers write nothing until their
// stream is started (startStream), so the owner may start each stream as
// soon as the library has set it up.
//
// A stream input (one per set, after the files) is read to its end in
// stripes of kStripeUnit bytes, the last one shorter; stripe i (from 0) goes
// to stream (i mod N) + 1, so that stream k's share of it is stripes k-1,
// k-1+N, ... one after another in its archive file. Its shares' sizes are
// known once it ended; each stripe is digested on its own as well.
//
// With stages (useStages), each writer passes each part through a
// FrameEncoder of its own (compressed, sealed), so that every part starts a
// run of frames decodable from its stored offset; a stream input's share is
// one run whose frames are its stripes. The parts' places in the archive
// files are then known only as they are written: archiveOffset is where the
// writer began the part. Without stages the bytes are stored as read.
//
// With blocks (useBlocks), the reader also digests each file of more than
// one block block by block, from the bytes it hands on, and a writer with
// stages keeps the stored size of each frame of such a file's part. A file
// may then be read only in part: its extents, runs of whole blocks (the
// file's last one shorter), one after another as if they were the file;
// its parts are cut at block boundaries of those bytes, and each part holds
// pieces, the extents or the pieces of them that fall in it. A writer
// records each piece's digest, where it starts in the part's stored bytes
// and, with stages, its frames: a piece is a run of whole frames, its block
// size being the frame size.
//
// Thread rules: every public operation is called from the owner's thread.
// A failure of any thread (a read, a write, a signal noticed) stops all of
// them; failure() then tells the first one.
class BackupStreams {
public:
    static constexpr std::size_t kChunk = 1 << 20;
    static constexpr std::size_t kDepth = 2;
    static constexpr std::size_t kStripeUnit = kChunk;
    // What a stream input restores as: its owner's alone, as a dump should be.
    static constexpr int kPipeInputMode = 0600;

    // Files above this size are split over all streams: 64 MiB, or the
    // set's total over the streams when that is less.
    static constexpr uint64_t kSplitAbove = uint64_t{64} << 20;
    static uint64_t wholeFileLimit(uint64_t total, unsigned long streams);
    // Where each file goes, in order: 0 to split it over all streams, else
    // the stream (1..streams) that holds it whole. Each file not above
    // limit goes to the stream with the fewest bytes so far (the lowest
    // such stream on a tie); a split file adds its part to every stream.
    static std::vector<unsigned long> placeFiles(const std::vector<uint64_t>& sizes,
                                                 unsigned long streams, uint64_t limit);

    struct PartStart {
        unsigned long stream;  // 1..N
        std::size_t file;      // index into the inputs
    };

    // The inputs must outlive this object. failStream: testing, writing that
    // stream fails ("simulated write failure"); 0 for none. phases, when
    // given (it must outlive this object): each writer reports its stream's
    // data phase, from its first part to its last, and every chunk written.
    // stream, when given, is the set's last input (index inputs.size()); it
    // must outlive this object and is read on the reader thread.
    BackupStreams(std::vector<const InputFile*> inputs, unsigned long streams,
                  unsigned long long jobId, unsigned long failStream,
                  StreamPhases* phases = nullptr, PipeInput* stream = nullptr);
    // Stops and joins every thread.
    ~BackupStreams();
    BackupStreams(const BackupStreams&) = delete;
    BackupStreams& operator=(const BackupStreams&) = delete;

    // Testing: after the first chunk of each file was read, the reader runs
    // command with /bin/sh, the file's path as $1, and waits for it; a
    // command that fails fails the job. So a test can change a file while
    // it is being read. Call before startReading.
    void runAfterFirstChunk(std::string command) { m_afterFirstChunk = std::move(command); }

    // Reads side by side, a chunk at a time to each stream whose queue has
    // room, so that every stream has a part in flight: for stores whose
    // streams each send on their own (an object store's uploads). A run of
    // files placed whole on their streams is read each stream's files in
    // order; a split file's parts at once, its digest and its blocks' then
    // taken in order by a thread of their own that reads the file through
    // once more. A file read live or in part is read part after part as
    // ever, in its turn. Call before startReading.
    void readPartsSideBySide() { m_sideBySide = true; }

    // Writes stream k as the job's stream `before` + k (its archive file, and
    // the stream its frames are bound to), after the `before` streams of a
    // job taken over (localplatform::resumeJob). Call before startReading.
    void numberStreamsAfter(unsigned long before) { m_streamsBefore = before; }

    // Passes every part through stages: names[i] is input i's name in the set
    // (the stream input's last), which its frames are bound to. Call before
    // startReading.
    void useStages(JobStages stages, std::vector<std::string> names);

    // Digests each file of more than one block by blocks of blockSize (with
    // stages: the frame size), and reads the files partly[i] names only in
    // the extents given (in file order, each from a block boundary to one
    // or to the file's end; none: nothing is read but the file is checked
    // unchanged all the same). Places the files anew on the streams. Call
    // before startReading.
    void useBlocks(uint64_t blockSize, std::map<std::size_t, std::vector<FileExtent>> partly);

    // A piece of a file read in part, as a writer stored it: where it lies
    // in the file and in its part's stored bytes, its frames with stages
    // (the first one's index in the part), and its digests.
    struct StoredPiece {
        uint64_t sourceOffset = 0;
        uint64_t size = 0;
        std::string sha256;
        uint64_t partOffset = 0;  // stored bytes of the part before it
        uint64_t storedSize = 0;
        std::string storedSha256;
        uint64_t frameIndex = 0;
        std::vector<uint64_t> frames;
    };

    // Where part `stream` of file `file` lies in the file (for a stream
    // input, where its first stripe starts; for a file read in part, in the
    // bytes read of it), and its size; for a stream input known only once
    // the stream wrote all of it.
    uint64_t partOffset(std::size_t file, unsigned long stream) const;
    uint64_t partSize(std::size_t file, unsigned long stream) const;
    // The stream that holds file `file` whole, or 0 when it is split.
    unsigned long placement(std::size_t file) const { return m_placement[file]; }
    // Where that part must start in the stream's archive file: the sum of
    // the stream's parts of the files before it (all of which that stream
    // wrote before it waits at this part). With stages, the stored sizes of
    // those parts, known once the writer reached the part.
    uint64_t archiveOffset(std::size_t file, unsigned long stream) const;
    // Once that part is written: its size and SHA-256 as stored (the same
    // as partSize and partDigest without stages).
    uint64_t storedSize(std::size_t file, unsigned long stream) const;
    std::string storedDigest(std::size_t file, unsigned long stream) const;
    // Once done(): the stream input's size and the digests of its stripes,
    // in order.
    uint64_t streamInputSize() const;
    std::vector<std::string> stripeDigests() const;
    // Once done(): the manifest's entry for the stream input, named name,
    // over the streams' archive files (one per stream, in order).
    ManifestFile streamInputEntry(const std::string& name,
                                  const std::vector<ManifestArchive>& archives) const;

    // Starts the reader. Once.
    void startReading();
    // Starts stream k's writer (streams in any order, each once) and returns
    // once it waits at the start of its first part.
    void startStream(unsigned long stream);
    // A writer waiting at the start of a part, if one is waiting or comes to
    // wait within `wait`; nothing when none does, or once all are done or
    // one failed.
    std::optional<PartStart> nextPartStart(std::chrono::milliseconds wait);
    // Lets the writer waiting at that start go on.
    void beginPart(PartStart start);
    // How many of the files (the stream input aside), from the first, every
    // stream wrote its part of and the reader read to its end. What the
    // accessors below tell once done() holds of these files from then on.
    std::size_t filesWritten() const;
    // True once every stream wrote every part.
    bool done() const;
    // The first failure, or null.
    std::exception_ptr failure() const;
    // Stops every thread and waits for them.
    void stop();

    // Digests, once done(): of part `stream` of file `file`, and of the file
    // (not of a file read in part).
    std::string partDigest(std::size_t file, unsigned long stream) const;
    std::string fileDigest(std::size_t file) const;

    // With blocks, once done(): the digests of the blocks the reader read of
    // file `file` in order (a file of more than one block read whole: all
    // of them; one read in part: those of its extents), 64 hex digits each;
    // empty for any other file.
    std::string blockDigests(std::size_t file) const;
    // With blocks and stages, once done(): the stored size of each frame of
    // part `stream` of a file of more than one block read whole.
    std::vector<uint64_t> partFrames(std::size_t file, unsigned long stream) const;
    // Whether file `file` is read in part, and once done() its pieces on
    // stream `stream`, in file order.
    bool readsInPart(std::size_t file) const { return m_partly[file]; }
    std::vector<StoredPiece> storedPieces(std::size_t file, unsigned long stream) const;

private:
    struct Chunk {
        std::vector<char> data;
        std::size_t length = 0;
        std::size_t file = 0;
        std::size_t piece = 0;  // of a file read in part: its piece in the part
        uint64_t stripe = 0;  // a stream input's stripe
        bool end = false;     // no data: the stream input ended
    };
    struct Stream {
        std::deque<Chunk> queue;
        std::optional<std::size_t> waitingAt;  // the file whose part it waits to begin
        std::size_t allowed = 0;               // parts it may begin: files [0, allowed)
        std::size_t written = 0;               // its parts of files [0, written) are written
        bool finished = false;
        std::thread thread;
        // Its writer waits on it: for a chunk, or to begin a part.
        std::condition_variable writerWakes;
    };

    // The reader's side; each false when the job stops first.
    void read();
    bool readFile(std::size_t file);
    bool readPartsInTurn(std::size_t file, Sha256* whole, BlockDigests* blocks,
                         bool& firstChunk);
    bool readSideBySide(std::size_t file, Sha256& digest, BlockDigests* blocks,
                        bool& firstChunk);
    bool placedWhole(std::size_t file) const;  // and read neither live nor in part
    bool readPlacedSideBySide(std::size_t first, std::size_t end);
    // The next stream after `after` (round the streams) for which
    // hasBytesLeft is true and whose queue has room, once there is one: 0
    // when no stream has bytes left, none when the job stops first.
    std::optional<unsigned long> streamWithRoom(
        unsigned long after, const std::function<bool(unsigned long)>& hasBytesLeft);
    bool readStream(std::size_t file);  // the stream input, on the reader thread
    bool takeBuffer(Chunk& chunk, std::size_t size);
    bool queueChunk(unsigned long k, Chunk chunk);
    // A writer's side; each false (none) when the job stops first.
    std::optional<Chunk> nextChunk(unsigned long k);
    void emptyPart(unsigned long k, std::size_t file);
    bool waitToBegin(unsigned long k, std::size_t file);
    bool writePart(unsigned long k, std::size_t file);
    bool writeStreamShare(unsigned long k, std::size_t file);
    void append(unsigned long k, const void* data, std::size_t length);  // to stream k's archive file
    // Where stream k's part of file begins and, once written, its stored bytes.
    void partBegins(unsigned long k, std::size_t file);
    void partEnds(unsigned long k, std::size_t file, uint64_t size, const std::string& digest);
    // The encoder of stream k's part of file when there are stages; its
    // frames go to the archive file and into storedDigest, and then to
    // `also`, when given.
    std::unique_ptr<FrameEncoder> encoderFor(unsigned long k, std::size_t file,
                                             std::size_t frameSize, Sha256& storedDigest,
                                             uint64_t& storedBytes,
                                             std::function<void(const StoredFrame&)> also = {});
    void write(unsigned long stream);
    // Places the files on the streams and cuts their parts (and pieces).
    void plan();
    // Where file's part k+1 starts in what is read of it (k = 0..N; N: its
    // end), when it is split.
    uint64_t cut(std::size_t file, unsigned long k) const;
    // Reads the bytes [offset, end) of file into chunks of piece `piece`,
    // each queued for stream k; false when the job stops first.
    bool readRange(std::size_t file, unsigned long k, std::size_t piece, uint64_t offset,
                   uint64_t end, Sha256* digest, BlockDigests* blocks, bool& firstChunk);
    void fail(std::exception_ptr error);
    bool stopping() const;  // with m_mutex held
    // Wakes every waiter, so that each sees the job stop.
    void wakeAll();

    const std::vector<const InputFile*> m_inputs;
    const unsigned long m_streamCount;
    const unsigned long long m_jobId;
    const unsigned long m_failStream;
    StreamPhases* const m_phases;
    PipeInput* const m_stream;
    const std::size_t m_inputCount;  // the files, and the stream input if any
    std::string m_afterFirstChunk;
    bool m_sideBySide = false;
    unsigned long m_streamsBefore = 0;  // the job's streams written before these

    // One condition a waiter, so that a change wakes only who waits for it:
    // the reader (room in a queue), each writer (Stream::writerWakes) and the
    // owner (a part to begin, a stream waiting or finished, the end).
    mutable std::mutex m_mutex;
    std::condition_variable m_readerWakes;
    std::condition_variable m_ownerWakes;
    std::vector<Stream> m_streams;
    std::vector<std::vector<char>> m_spare;  // buffers to use again
    std::exception_ptr m_failure;
    bool m_stop = false;
    unsigned long m_finished = 0;
    bool m_readerFinished = false;
    std::size_t m_filesRead = 0;  // files [0, m_filesRead) read to their end and digested
    std::thread m_reader;

    std::vector<std::string> m_fileDigests;               // written by the reader
    std::vector<std::vector<std::string>> m_partDigests;  // [file][stream-1], by the writers
    std::vector<std::vector<uint64_t>> m_partSizes;       // [file][stream-1]
    std::vector<unsigned long> m_placement;               // [file]: 0 split, else its stream
    std::vector<std::vector<uint64_t>> m_prefix;  // [stream-1][file]: its parts of the files before
    uint64_t m_streamSize = 0;                    // written by the reader
    std::vector<std::string> m_stripeDigests;     // [stripe], by the writers

    std::optional<JobStages> m_stages;
    std::vector<std::string> m_names;                     // [file], with stages
    std::vector<std::vector<uint64_t>> m_storedOffsets;   // [file][stream-1], by the writers
    std::vector<std::vector<uint64_t>> m_storedSizes;     // [file][stream-1]
    std::vector<std::vector<std::string>> m_storedDigests;  // [file][stream-1]
    std::vector<uint64_t> m_storedEnd;                    // [stream-1]: bytes written so far

    uint64_t m_blockSize = 0;                             // 0: no blocks
    std::vector<uint64_t> m_readSizes;                    // [file]: what is read of it
    std::vector<bool> m_partly;                           // [file]: read in part
    std::vector<std::vector<FileExtent>> m_extents;       // [file]: what of it is read
    std::vector<std::vector<std::vector<FileExtent>>> m_pieces;  // [file][stream-1], in part
    std::vector<std::string> m_blockDigests;              // [file], by the reader
    std::vector<std::vector<std::vector<uint64_t>>> m_frames;    // [file][stream-1]
    std::vector<std::vector<std::vector<StoredPiece>>> m_stored;  // [file][stream-1]
};
