#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ArchiveRecords.h"
#include "platform/CQiError.h"

class zebsDatabuf_v2;

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// The media side of one open archive file: answers the messages sent on its
// session heads and, after a seek, reads the file on a worker thread into a
// short queue that readBuffer empties. Safe to use from several threads.
//
// After FSR_MSG_CLOSE_ARCHIVE the queue holds the pipeline's answers:
// PL_FS_READ_ALL_ABORTED when a read-all had not delivered everything, then
// PL_FS_CLOSE_AFILE. When that has been read and the volume was not released
// since the close, one PL_FS_DESTROY follows: the pipeline is torn down.
class MediaSide {
public:
    struct Settings {
        std::size_t chunkSize;
        std::chrono::milliseconds chunkDelay;
        std::chrono::milliseconds timeout;
    };

    // One message for readBuffer: data (kDataMessage) or a pipeline message.
    struct Message {
        int type = 0;
        std::vector<char> data;
        unsigned long long end = 0;  // for data, the file offset after it
    };

    // Takes over fd, the archive file open for reading, of size bytes.
    MediaSide(int fd, const ArchiveFileId_t& id, unsigned long long size, const Settings& settings);
    // Stops the worker and closes the file.
    ~MediaSide();

    MediaSide(const MediaSide&) = delete;
    MediaSide& operator=(const MediaSide&) = delete;

    // Acts on a message sent on a session head. A refusal has a negative
    // code and a text naming the message and the problem, and is logged.
    CQiError send(unsigned long code, const zebsDatabuf_v2* body);

    // The next message, at most maxLength bytes of data when maxLength is not
    // 0. False when nothing more can arrive, and also, with a log line, when
    // nothing arrived within the timeout.
    bool next(uint64_t maxLength, Message* message);

    // Stops reading and closes the file; no PL_FS_DESTROY follows the close
    // that preceded this.
    void releaseVolume();
    // Stops reading, closes the file and drops what is queued; every later
    // message is refused, naming why.
    void end(const std::string& why);

private:
    struct Refusal {
        int code;
        std::string problem;
    };

    // The result of a message, decided under the lock.
    std::optional<Refusal> handle(std::unique_lock<std::mutex>& lock, unsigned long code,
                                  const zebsDatabuf_v2* body);
    std::optional<Refusal> openArchive(const zebsDatabuf_v2* body);
    // Why the archive cannot take a request now, if it cannot.
    std::optional<Refusal> notReady() const;
    std::optional<Refusal> seek(std::unique_lock<std::mutex>& lock, const zebsDatabuf_v2* body,
                                bool restart);
    void close(std::unique_lock<std::mutex>& lock);
    // Joins the worker, if any, with the lock released meanwhile.
    void stopWorker(std::unique_lock<std::mutex>& lock);
    void closeFile();
    void run(unsigned long long position);
    // "stream N, archive file (T, G, A)", for messages. Needs the lock.
    std::string describe() const;

    const ArchiveFileId_t m_id;
    const unsigned long long m_size;
    const Settings m_settings;

    // Held through each message, release and end, so that they take turns;
    // taken before m_mutex. The worker never takes it.
    std::mutex m_control;
    // Guards everything below; m_changed announces each change.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_worker;
    int m_fd;
    std::deque<Message> m_queue;
    bool m_stop = false;             // the worker is to stop
    bool m_reading = false;          // the worker may still queue data
    unsigned long m_stream = 0;      // from FSR_MSG_OPEN_ARCHIVE
    bool m_opened = false;           // FSR_MSG_OPEN_ARCHIVE accepted
    bool m_readAll = false;          // FSR_MSG_READ_ALL since the last close
    unsigned long long m_delivered = 0;  // file offset up to which data was read
    bool m_closed = false;           // FSR_MSG_CLOSE_ARCHIVE accepted
    bool m_closeAnswered = false;    // its PL_FS_CLOSE_AFILE was read
    bool m_released = false;         // the volume was released since the close
    bool m_destroyed = false;        // PL_FS_DESTROY was read
    std::string m_ended;             // why the media side ended; empty while it lives
};

}  // namespace localplatform

#pragma GCC visibility pop
