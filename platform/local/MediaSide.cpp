// The in-process media side of a restore stream.

#include "platform/local/MediaSide.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/FsrMessages.h"
#include "platform/local/LocalPlatform.h"
#include "platform/local/LocalState.h"
#include "platform/zebsDatabuf_v2.h"

namespace localplatform {

namespace {

// Codes of refused messages.
constexpr int kUnknownMessage = -1;
constexpr int kBadBody = -2;
constexpr int kOutOfOrder = -3;
constexpr int kEnded = -4;

// Chunks the worker may read ahead of readBuffer.
constexpr std::size_t kMaxQueuedChunks = 4;

std::string messageName(unsigned long code) {
    const char* name = nullptr;
    switch (code) {
    case FSR_MSG_OPEN_ARCHIVE: name = "FSR_MSG_OPEN_ARCHIVE"; break;
    case FSR_MSG_SEEK_FOLLOW_UP: name = "FSR_MSG_SEEK_FOLLOW_UP"; break;
    case FSR_MSG_RESTORE_END: name = "FSR_MSG_RESTORE_END"; break;
    case FSR_MSG_READ_ALL: name = "FSR_MSG_READ_ALL"; break;
    case FSR_MSG_CLOSE_ARCHIVE: name = "FSR_MSG_CLOSE_ARCHIVE"; break;
    case FSR_MSG_SEEK_TO_OFFSET: name = "FSR_MSG_SEEK_TO_OFFSET"; break;
    default: return formatText("message 0x%lX", code);
    }
    return formatText("%s (0x%lX)", name, code);
}

// What is wrong with a body that must hold exactly one record of the given
// size, if anything.
std::optional<std::string> bodyProblem(const zebsDatabuf_v2* body, std::size_t size,
                                       const char* record) {
    if (!body || !body->data()) return formatText("it has no body; it needs a %s", record);
    if (body->length() != size) {
        return formatText("its body has %lu bytes; a %s has %zu", body->length(), record, size);
    }
    return std::nullopt;
}

bool isEmptyBuffer(const zebsDatabuf_v2* body) { return body && body->length() == 0; }

// Reads length bytes at offset, fewer only at the end of the file; -1 on
// failure.
ssize_t readAt(int fd, char* data, std::size_t length, unsigned long long offset) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t count =
            ::pread(fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return -1;
        if (count == 0) break;
        done += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

MediaSide::MediaSide(int fd, const ArchiveFileId_t& id, unsigned long long size,
                     const Settings& settings)
    : m_id(id),
      m_size(size),
      m_settings{std::max<std::size_t>(settings.chunkSize, 1), settings.chunkDelay,
                 settings.timeout},
      m_fd(fd) {}

MediaSide::~MediaSide() {
    std::lock_guard<std::mutex> control(m_control);
    std::unique_lock<std::mutex> lock(m_mutex);
    stopWorker(lock);
    closeFile();
}

CQiError MediaSide::send(unsigned long code, const zebsDatabuf_v2* body) {
    std::string text;
    int refusalCode = 0;
    {
        std::lock_guard<std::mutex> control(m_control);
        std::unique_lock<std::mutex> lock(m_mutex);
        const std::optional<Refusal> refusal = handle(lock, code, body);
        if (!refusal) return CQiError();
        refusalCode = refusal->code;
        text = messageName(code) + " refused on " + describe() + ": " + refusal->problem;
    }
    platformError(text);
    return CQiError(refusalCode, "local platform: " + text);
}

std::optional<MediaSide::Refusal> MediaSide::handle(std::unique_lock<std::mutex>& lock,
                                                    unsigned long code,
                                                    const zebsDatabuf_v2* body) {
    if (!m_ended.empty()) return Refusal{kEnded, "the media side has ended: " + m_ended};
    switch (code) {
    case FSR_MSG_OPEN_ARCHIVE:
        return openArchive(body);
    case FSR_MSG_READ_ALL:
        if (auto refusal = notReady()) return refusal;
        if (body) return Refusal{kBadBody, "it takes no body at all, not even an empty one"};
        m_readAll = true;
        return std::nullopt;
    case FSR_MSG_SEEK_TO_OFFSET:
        return seek(lock, body, true);
    case FSR_MSG_SEEK_FOLLOW_UP:
        return seek(lock, body, false);
    case FSR_MSG_CLOSE_ARCHIVE:
        if (!isEmptyBuffer(body)) return Refusal{kBadBody, "its body must be an empty buffer"};
        close(lock);
        return std::nullopt;
    case FSR_MSG_RESTORE_END:
        if (!isEmptyBuffer(body)) return Refusal{kBadBody, "its body must be an empty buffer"};
        stopWorker(lock);
        m_queue.clear();
        closeFile();
        m_ended = "FSR_MSG_RESTORE_END was sent";
        m_changed.notify_all();
        return std::nullopt;
    default:
        return Refusal{kUnknownMessage, "the media side knows no such message"};
    }
}

std::optional<MediaSide::Refusal> MediaSide::notReady() const {
    if (m_fd < 0) return Refusal{kOutOfOrder, "the archive file's volume was released"};
    if (m_closed) return Refusal{kOutOfOrder, "FSR_MSG_CLOSE_ARCHIVE closed the archive"};
    if (!m_opened) return Refusal{kOutOfOrder, "FSR_MSG_OPEN_ARCHIVE has not opened the archive"};
    return std::nullopt;
}

std::optional<MediaSide::Refusal> MediaSide::openArchive(const zebsDatabuf_v2* body) {
    if (m_fd < 0) return Refusal{kOutOfOrder, "the archive file's volume was released"};
    if (m_closed) return Refusal{kOutOfOrder, "FSR_MSG_CLOSE_ARCHIVE closed the archive"};
    if (auto problem = bodyProblem(body, sizeof(FSROpenArchive), "FSROpenArchive")) {
        return Refusal{kBadBody, *problem};
    }
    FSROpenArchive open;
    std::memcpy(&open, body->data(), sizeof open);
    const FSRArchiveFileId& file = open.archiveFile;
    if (file.trellanId != m_id.trellanId || file.groupNumber != m_id.groupNumber ||
        file.afileId != m_id.afileId) {
        return Refusal{kBadBody, formatText("it names archive file (%lu, %lu, %lu), which is not "
                                            "the one open",
                                            file.trellanId, file.groupNumber, file.afileId)};
    }
    if (open.streamNumber < 1) return Refusal{kBadBody, "its stream number is 0"};
    m_stream = open.streamNumber;
    m_opened = true;
    return std::nullopt;
}

// The body holds its element by address: the offset is read through the
// pointer while the sender still keeps the element alive.
std::optional<MediaSide::Refusal> MediaSide::seek(std::unique_lock<std::mutex>& lock,
                                                  const zebsDatabuf_v2* body, bool restart) {
    if (auto refusal = notReady()) return refusal;
    if (auto problem = bodyProblem(body, sizeof(FSRSeekArchiveArray), "FSRSeekArchiveArray")) {
        return Refusal{kBadBody, *problem};
    }
    FSRSeekArchiveArray array;
    std::memcpy(&array, body->data(), sizeof array);
    if (array.count != 1) {
        return Refusal{kBadBody, formatText("it holds %d elements; one is expected", array.count)};
    }
    if (!array.elements) return Refusal{kBadBody, "its element pointer is null"};
    const unsigned long long offset = array.elements->offset;
    if (offset > m_size) {
        return Refusal{kBadBody, formatText("offset %llu is past the end of the %llu-byte file",
                                            offset, m_size)};
    }
    if (!restart) return std::nullopt;

    stopWorker(lock);
    m_queue.clear();
    m_delivered = offset;
    // The worker starts by taking the lock we hold, so it cannot finish
    // before it counts as reading.
    m_worker = std::thread(&MediaSide::run, this, offset);
    m_reading = true;
    return std::nullopt;
}

void MediaSide::close(std::unique_lock<std::mutex>& lock) {
    stopWorker(lock);
    m_queue.clear();
    if (m_readAll && m_delivered < m_size) m_queue.push_back(Message{PL_FS_READ_ALL_ABORTED, {}, 0});
    m_queue.push_back(Message{PL_FS_CLOSE_AFILE, {}, 0});
    m_readAll = false;
    m_closed = true;
    m_closeAnswered = false;
    m_released = false;
    m_destroyed = false;
    m_changed.notify_all();
}

void MediaSide::releaseVolume() {
    std::lock_guard<std::mutex> control(m_control);
    std::unique_lock<std::mutex> lock(m_mutex);
    stopWorker(lock);
    closeFile();
    m_released = true;
    m_changed.notify_all();
}

void MediaSide::end(const std::string& why) {
    std::lock_guard<std::mutex> control(m_control);
    std::unique_lock<std::mutex> lock(m_mutex);
    stopWorker(lock);
    m_queue.clear();
    closeFile();
    if (m_ended.empty()) m_ended = why;
    m_changed.notify_all();
}

bool MediaSide::next(uint64_t maxLength, Message* message) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto ready = [this] { return !m_queue.empty() || !m_reading || !m_ended.empty(); };
    if (!m_changed.wait_for(lock, m_settings.timeout, ready)) {
        const std::string text = formatText(
            "%s: no progress from the media side in %lld ms while waiting for %s; giving up",
            describe().c_str(), static_cast<long long>(m_settings.timeout.count()),
            m_closed ? "the answer to FSR_MSG_CLOSE_ARCHIVE" : "data");
        lock.unlock();
        platformError(text);
        return false;
    }
    if (!m_ended.empty()) return false;
    if (!m_queue.empty()) {
        Message& front = m_queue.front();
        if (front.type == kDataMessage && maxLength != 0 && front.data.size() > maxLength) {
            const auto split = front.data.begin() + static_cast<std::ptrdiff_t>(maxLength);
            message->type = kDataMessage;
            message->data.assign(front.data.begin(), split);
            front.data.erase(front.data.begin(), split);
            message->end = front.end - front.data.size();
        } else {
            *message = std::move(front);
            m_queue.pop_front();
            m_changed.notify_all();  // room for the worker
        }
        if (message->type == kDataMessage) m_delivered = message->end;
        if (message->type == PL_FS_CLOSE_AFILE) m_closeAnswered = true;
        return true;
    }
    if (m_closeAnswered && !m_released && !m_destroyed) {
        m_destroyed = true;
        *message = Message{PL_FS_DESTROY, {}, 0};
        return true;
    }
    return false;
}

void MediaSide::stopWorker(std::unique_lock<std::mutex>& lock) {
    if (!m_worker.joinable()) return;
    m_stop = true;
    m_changed.notify_all();
    std::thread worker = std::move(m_worker);
    lock.unlock();
    worker.join();
    lock.lock();
    m_stop = false;
    m_reading = false;
}

std::string MediaSide::describe() const {
    const std::string stream = m_stream ? formatText("stream %lu, ", m_stream) : std::string();
    return stream + formatText("archive file (%u, %u, %u)", m_id.trellanId, m_id.groupNumber,
                               m_id.afileId);
}

void MediaSide::closeFile() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

// Reads the file from position to its end, one chunk at a time, into the
// queue, keeping at most kMaxQueuedChunks there. The file descriptor is not
// touched by anyone else until the worker is joined.
void MediaSide::run(unsigned long long position) {
    std::string failure;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (position < m_size) {
        // Slow media: the wait before each chunk, cut short by a stop.
        if (m_changed.wait_for(lock, m_settings.chunkDelay, [this] { return m_stop; })) return;
        const auto length =
            static_cast<std::size_t>(std::min<unsigned long long>(m_settings.chunkSize,
                                                                  m_size - position));
        lock.unlock();
        std::vector<char> chunk(length);
        const ssize_t count = readAt(m_fd, chunk.data(), length, position);
        const int readError = errno;
        lock.lock();
        if (count <= 0) {
            failure = count < 0 ? formatText("cannot read at offset %llu: %s", position,
                                             std::strerror(readError))
                                : formatText("the file ends at offset %llu, before its %llu bytes",
                                             position, m_size);
            break;
        }
        chunk.resize(static_cast<std::size_t>(count));
        m_changed.wait(lock, [this] { return m_stop || m_queue.size() < kMaxQueuedChunks; });
        if (m_stop) return;
        position += static_cast<unsigned long long>(count);
        m_queue.push_back(Message{kDataMessage, std::move(chunk), position});
        m_changed.notify_all();
    }
    m_reading = false;
    m_changed.notify_all();
    if (failure.empty()) return;
    failure = describe() + ": " + failure;
    lock.unlock();
    platformError(failure);
}

}  // namespace localplatform
