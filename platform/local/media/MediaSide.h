#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ArchiveRecords.h"
#include "platform/CQiError.h"
#include "platform/local/media/MediaReader.h"

class zebsDatabuf_v2;

// Internal to the library and not installed, but exported so that the
// tests can drive it directly.

namespace localplatform {

// The media side of one open archive file: answers the messages sent on its
// session heads and, after a seek, reads the file on a worker thread into a
// short queue that next() empties: on to the end of the file after
// FSR_MSG_READ_ALL, else only as far as next() takes it, a chunk ahead.
// Every message it accepts is logged as a debug line, every refusal as an
// error. Safe to use from several threads.
//
// It is a state machine (see State). After FSR_MSG_CLOSE_ARCHIVE the queue
// holds the pipeline's answers: PL_FS_READ_ALL_ABORTED when a read-all had
// not delivered everything, then PL_FS_CLOSE_AFILE. When that has been read
// and the volume was not released since the close, one PL_FS_DESTROY
// follows: the pipeline is torn down.
//
// No call waits on a worker: a seek, close, release, end or destruction
// abandons the worker, which owns what it touches (the reader and the queue)
// and drops whatever it still reads. Only next() waits, and never longer
// than the timeout; once a wait timed out, the media side has failed and
// every later call fails at once. Time the process did not run (stopped by
// SIGSTOP or a shell's Ctrl-Z) does not count towards the timeout.
class __attribute__((visibility("default"))) MediaSide {
public:
    struct Settings {
        std::size_t chunkSize;
        std::chrono::milliseconds chunkDelay;  // slow media: the pause before each chunk
        std::chrono::milliseconds timeout;     // the longest next() waits for progress
    };

    // What next() tells time and waits by: the steady clock unless a test
    // gives its own, so that no test needs to wait out a timeout.
    class Clock {
    public:
        using TimePoint = std::chrono::steady_clock::time_point;
        virtual ~Clock() = default;
        virtual TimePoint now() = 0;
        // With lock held on changed's mutex: waits until ready() or until
        // `until`, and returns ready().
        virtual bool waitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                               TimePoint until, const std::function<bool()>& ready) = 0;
    };

    // One message for readBuffer: data (kDataMessage) or a pipeline message.
    // Bytes read from the archive file. Its allocator leaves new elements
    // uninitialised: every chunk is read over at once, and zeroing it first
    // cost a tenth of a restore's time.
    template <typename T>
    struct UninitialisedAllocator : std::allocator<T> {
        template <typename U>
        struct rebind {
            using other = UninitialisedAllocator<U>;
        };
        UninitialisedAllocator() = default;
        template <typename U>
        UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
        template <typename U>
        void construct(U* place) noexcept {
            ::new (static_cast<void*>(place)) U;
        }
        template <typename U, typename... Args>
        void construct(U* place, Args&&... args) {
            ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
        }
    };
    using Bytes = std::vector<char, UninitialisedAllocator<char>>;

    struct Message {
        int type = 0;
        Bytes data;
        unsigned long long end = 0;  // for data, the file offset after it
    };

    // The states; which message each accepts is in MediaSide.cpp.
    enum class State {
        Opened,         // the file is open; FSR_MSG_OPEN_ARCHIVE not yet accepted
        ArchiveOpened,  // open for the pipeline, nothing being read
        Reading,        // a seek's worker may still queue data
        Closing,        // FSR_MSG_CLOSE_ARCHIVE's answers queued; PL_FS_DESTROY follows
        Closed,         // every answer read, PL_FS_DESTROY included
        Released,       // the volume was released since the last close: no PL_FS_DESTROY
        Ended,          // FSR_MSG_RESTORE_END, a later open or the archive object ended it
        Failed,         // no progress within the timeout; everything fails at once
    };

    // Reads the archive file id, of size bytes, through reader, which it
    // shares with its workers; next() goes by clock (null: the steady clock).
    MediaSide(std::shared_ptr<MediaReader> reader, const ArchiveFileId_t& id,
              unsigned long long size, const Settings& settings,
              std::shared_ptr<Clock> clock = nullptr);
    // Abandons the worker, if any; returns at once.
    ~MediaSide();

    MediaSide(const MediaSide&) = delete;
    MediaSide& operator=(const MediaSide&) = delete;

    // Acts on a message sent on a session head; never waits. A refusal has a
    // negative code and a text naming the message and the problem, and is
    // logged.
    CQiError send(unsigned long code, const zebsDatabuf_v2* body);

    // The next message, at most maxLength bytes of data when maxLength is not
    // 0. False at once when nothing more can arrive; false after the timeout,
    // with a log line, when a worker made no progress meanwhile: the media
    // side has then failed.
    bool next(uint64_t maxLength, Message* message);

    // Stops reading and lets go of the file; no PL_FS_DESTROY follows the
    // close that preceded this. False, at once and with nothing done, when
    // the media side has failed; *why then says so.
    bool releaseVolume(std::string* why);
    // Stops reading, lets go of the file and drops what is queued; every
    // later message is refused, naming why, and the end is logged. A failed
    // media side stays failed.
    void end(const std::string& why);

    State state() const;
    // The restore stream FSR_MSG_OPEN_ARCHIVE named; 0 before it.
    unsigned long stream() const;
    static const char* stateName(State state);

    // How far the current seek's worker has got, for tests: it never holds
    // more than readAhead chunks that next() has not taken.
    struct Progress {
        unsigned long long reads;  // chunks it has started to read since the seek
        std::size_t queued;        // chunks read and not yet taken
        std::size_t readAhead;     // chunks it may queue: more with FSR_MSG_READ_ALL
        bool waitingForRoom;       // it waits for next() to take one
    };
    Progress progress() const;

    struct Channel;  // what the media side shares with its workers

private:
    struct Refusal {
        int code;
        std::string problem;
    };

    // Under the lock, like every member below.
    std::optional<Refusal> handle(unsigned long code, const zebsDatabuf_v2* body);
    // Why the archive cannot take a read-all or a seek now, if it cannot.
    std::optional<Refusal> notReady() const;

    // The transitions.
    std::optional<Refusal> openArchive(const zebsDatabuf_v2* body);
    std::optional<Refusal> seek(const zebsDatabuf_v2* body, bool restart);
    void startReading(unsigned long long offset);
    std::string finishReading();
    void close();
    void destroyAnswered(Message* message);
    void release();
    void endWith(const std::string& why);
    std::string fail();
    // Waits until ready() or the deadline, which moves on by the time the
    // process did not run; false at the deadline.
    bool awaitProgress(std::unique_lock<std::mutex>& lock, Clock::TimePoint& deadline,
                       const std::function<bool()>& ready);

    // Abandons the current worker and drops its data.
    void stopReading();
    // "stream N, archive file (T, G, A)", for messages.
    std::string describe() const;
    // What the log line of an accepted message adds to its name.
    std::string acceptedDetail(unsigned long code) const;

    const ArchiveFileId_t m_id;
    const unsigned long long m_size;
    const Settings m_settings;
    const std::shared_ptr<Clock> m_clock;
    const std::shared_ptr<Channel> m_channel;  // its mutex guards what follows

    State m_state = State::Opened;
    std::shared_ptr<MediaReader> m_reader;  // null once the volume is released
    std::deque<Message> m_answers;          // to FSR_MSG_CLOSE_ARCHIVE, not yet read
    unsigned long m_stream = 0;             // from FSR_MSG_OPEN_ARCHIVE
    bool m_readAll = false;                 // FSR_MSG_READ_ALL since the last close
    unsigned long long m_delivered = 0;     // file offset up to which data was read
    std::string m_ended;                    // why it ended, in Ended
    std::string m_failure;                  // what timed out, in Failed
};

}  // namespace localplatform
