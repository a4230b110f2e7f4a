// The in-process media side of a restore stream.
//
// Which message each state accepts ("stay" keeps the state; a refusal names
// why):
//
// clang-format off
//                 Opened     ArchiveOpened  Reading     Closing   Closed   Released  Ended   Failed
//  OPEN_ARCHIVE   ArchOpen   stay           stay        refused   refused  refused   refused refused
//  READ_ALL       refused    stay           stay        refused   refused  refused   refused refused
//  SEEK_TO_OFFSET refused    Reading        Reading     refused   refused  refused   refused refused
//  SEEK_FOLLOW_UP refused    stay           stay        refused   refused  refused   refused refused
//  CLOSE_ARCHIVE  Closing    Closing        Closing     Closing   Closing  Closing   refused refused
//  RESTORE_END    Ended      Ended          Ended       Ended     Ended    Ended     refused refused
//  release        Released   Released       Released    Released  Released stay      stay    fails
//  end            Ended      Ended          Ended       Ended     Ended    Ended     stay    stay
//  next           0          0              data, or    answers,  0        answers,  0       0
//                                           ArchOpen,   then               then 0
//                                           or Failed   DESTROY:Closed
//
// clang-format on
//
// A seek in Reading drops the earlier position's data, queued or still being
// read. Only next() in Reading waits, for at most the timeout.
//
// After a seek a worker reads the file from the offset on, one chunk at a
// time, never more than the read-ahead limit ahead of next(): with
// FSR_MSG_READ_ALL it streams on to the end of the file through a queue of
// kReadAllChunks; without it, it reads what the reader takes, at most
// kOnDemandChunks ahead. Either way it reads only once there is room, so the
// data in memory is at most the limit times the chunk size.

#include "platform/local/media/MediaSide.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <utility>

#include "platform/FsrMessages.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/zebsDatabuf_v2.h"

namespace localplatform {

namespace {

// Codes of refused messages.
constexpr int kUnknownMessage = -1;
constexpr int kBadBody = -2;
constexpr int kOutOfOrder = -3;
constexpr int kEnded = -4;
constexpr int kTimedOut = -5;

// Chunks a worker may read ahead of next(): streaming the whole file, and
// serving only what the reader takes.
constexpr std::size_t kReadAllChunks = 4;
constexpr std::size_t kOnDemandChunks = 1;

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

class SteadyClock final : public MediaSide::Clock {
public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    bool waitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                   TimePoint until, const std::function<bool()>& ready) override {
        return changed.wait_until(lock, until, ready);
    }
};

// What a worker's exception says, for its log line.
std::string whatThrew(const std::exception_ptr& thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "an unknown exception";
    }
}

}  // namespace

// What the media side shares with its workers. A worker keeps it alive, so
// that it may return from a read long after the media side is gone.
struct MediaSide::Channel {
    std::mutex mutex;
    std::condition_variable changed;  // announces each change below and in the media side
    // Each seek starts a generation; only its worker's chunks are queued.
    unsigned long long generation = 0;
    std::deque<Message> chunks;
    std::size_t frontTaken = 0;  // bytes of chunks.front() already delivered
    std::size_t readAhead = kOnDemandChunks;  // chunks the worker may queue
    bool producing = false;  // the current generation's worker may still queue
    bool waitingForRoom = false;   // it waits until next() takes a chunk
    unsigned long long reads = 0;  // chunks it has started to read
    std::string failure;     // why the current generation's worker stopped early
    // What the worker threw, at which offset, when that stopped it: running
    // out of memory, as a rule, where the text of failure could not be made.
    std::exception_ptr thrown;
    unsigned long long thrownAt = 0;
};

namespace {

// A worker: reads the file from position to size, one chunk at a time,
// into the channel, for as long as its generation is current. It reads a
// chunk only when the queue has room for it, so it holds none of its own
// while it waits; logs nothing (the media side reports its failure).
// position follows what it has read.
void readChunks(const std::shared_ptr<MediaSide::Channel>& channel,
                const std::shared_ptr<MediaReader>& reader, unsigned long long generation,
                unsigned long long& position, unsigned long long size,
                const MediaSide::Settings& settings) {
    std::unique_lock<std::mutex> lock(channel->mutex);
    const auto abandoned = [&] { return channel->generation != generation; };
    std::string failure;
    while (position < size) {
        if (channel->chunks.size() >= channel->readAhead) {
            channel->waitingForRoom = true;
            channel->changed.wait(
                lock, [&] { return abandoned() || channel->chunks.size() < channel->readAhead; });
            if (abandoned()) return;
            channel->waitingForRoom = false;
        }
        if (channel->changed.wait_for(lock, settings.chunkDelay, abandoned)) return;
        const auto length = static_cast<std::size_t>(
            std::min<unsigned long long>(settings.chunkSize, size - position));
        ++channel->reads;
        lock.unlock();
        MediaSide::Bytes chunk(length);
        const ssize_t count = reader->readAt(chunk.data(), length, position);
        const int readError = errno;
        lock.lock();
        if (abandoned()) return;
        if (count <= 0) {
            failure = count < 0 ? formatText("cannot read at offset %llu: %s", position,
                                             std::strerror(readError))
                                : formatText("the file ends at offset %llu, before its %llu bytes",
                                             position, size);
            break;
        }
        chunk.resize(static_cast<std::size_t>(count));
        position += static_cast<unsigned long long>(count);
        channel->chunks.push_back(MediaSide::Message{kDataMessage, std::move(chunk), position});
        channel->changed.notify_all();
    }
    channel->producing = false;
    channel->failure = std::move(failure);
    channel->changed.notify_all();
}

// The worker's thread: what the worker throws (running out of memory, as
// a rule) stops it as a failed read does, where it would end the process.
void readAhead(std::shared_ptr<MediaSide::Channel> channel, std::shared_ptr<MediaReader> reader,
               unsigned long long generation, unsigned long long position, unsigned long long size,
               MediaSide::Settings settings) {
    try {
        readChunks(channel, reader, generation, position, size, settings);
    } catch (...) {
        std::lock_guard<std::mutex> lock(channel->mutex);
        if (channel->generation != generation) return;
        channel->producing = false;
        channel->thrown = std::current_exception();
        channel->thrownAt = position;
        channel->changed.notify_all();
    }
}

}  // namespace

MediaSide::MediaSide(std::shared_ptr<MediaReader> reader, const ArchiveFileId_t& id,
                     unsigned long long size, const Settings& settings,
                     std::shared_ptr<Clock> clock)
    : m_id(id),
      m_size(size),
      m_settings{std::max<std::size_t>(settings.chunkSize, 1), settings.chunkDelay,
                 settings.timeout},
      m_clock(clock ? std::move(clock) : std::make_shared<SteadyClock>()),
      m_channel(std::make_shared<Channel>()),
      m_reader(std::move(reader)) {}

MediaSide::~MediaSide() {
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    stopReading();
}

MediaSide::State MediaSide::state() const {
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    return m_state;
}

unsigned long MediaSide::stream() const {
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    return m_stream;
}

const char* MediaSide::stateName(State state) {
    switch (state) {
    case State::Opened: return "opened";
    case State::ArchiveOpened: return "archive opened";
    case State::Reading: return "reading";
    case State::Closing: return "closing";
    case State::Closed: return "closed";
    case State::Released: return "released";
    case State::Ended: return "ended";
    case State::Failed: return "failed";
    }
    return "unknown";
}

CQiError MediaSide::send(unsigned long code, const zebsDatabuf_v2* body) {
    std::string text;
    int refusalCode = 0;
    {
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        const std::optional<Refusal> refusal = handle(code, body);
        if (!refusal) {
            text = describe() + ": accepted " + messageName(code) + acceptedDetail(code);
        } else {
            refusalCode = refusal->code;
            text = messageName(code) + " refused on " + describe() + ": " + refusal->problem;
        }
    }
    if (refusalCode == 0) {
        platformDebug(text);
        return CQiError();
    }
    platformError(text);
    return CQiError(refusalCode, "local platform: " + text);
}

std::string MediaSide::acceptedDetail(unsigned long code) const {
    switch (code) {
    case FSR_MSG_SEEK_TO_OFFSET:
        return formatText(" at offset %llu, %s", m_delivered,
                          m_readAll ? "reading on to the end of the file"
                                    : "reading what the stream takes");
    default: return std::string();
    }
}

MediaSide::Progress MediaSide::progress() const {
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    const Channel& channel = *m_channel;
    return Progress{channel.reads, channel.chunks.size(), channel.readAhead,
                    channel.waitingForRoom};
}

std::optional<MediaSide::Refusal> MediaSide::handle(unsigned long code,
                                                    const zebsDatabuf_v2* body) {
    if (m_state == State::Failed) return Refusal{kTimedOut, "the media side " + m_failure};
    if (m_state == State::Ended) return Refusal{kEnded, "the media side has ended: " + m_ended};
    switch (code) {
    case FSR_MSG_OPEN_ARCHIVE: return openArchive(body);
    case FSR_MSG_READ_ALL:
        if (auto refusal = notReady()) return refusal;
        if (body) return Refusal{kBadBody, "it takes no body at all, not even an empty one"};
        m_readAll = true;
        m_channel->readAhead = kReadAllChunks;  // also for a worker already reading
        m_channel->changed.notify_all();
        return std::nullopt;
    case FSR_MSG_SEEK_TO_OFFSET: return seek(body, true);
    case FSR_MSG_SEEK_FOLLOW_UP: return seek(body, false);
    case FSR_MSG_CLOSE_ARCHIVE:
        if (!isEmptyBuffer(body)) return Refusal{kBadBody, "its body must be an empty buffer"};
        close();
        return std::nullopt;
    case FSR_MSG_RESTORE_END:
        if (!isEmptyBuffer(body)) return Refusal{kBadBody, "its body must be an empty buffer"};
        endWith("FSR_MSG_RESTORE_END was sent");
        return std::nullopt;
    default: return Refusal{kUnknownMessage, "the media side knows no such message"};
    }
}

std::optional<MediaSide::Refusal> MediaSide::notReady() const {
    if (!m_reader) return Refusal{kOutOfOrder, "the archive file's volume was released"};
    switch (m_state) {
    case State::ArchiveOpened:
    case State::Reading: return std::nullopt;
    case State::Opened:
        return Refusal{kOutOfOrder, "FSR_MSG_OPEN_ARCHIVE has not opened the archive"};
    default: return Refusal{kOutOfOrder, "FSR_MSG_CLOSE_ARCHIVE closed the archive"};
    }
}

// Opened -> ArchiveOpened; again in ArchiveOpened or Reading, it names the
// stream anew.
std::optional<MediaSide::Refusal> MediaSide::openArchive(const zebsDatabuf_v2* body) {
    if (m_state != State::Opened) {
        if (auto refusal = notReady()) return refusal;
    }
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
    if (m_state == State::Opened) m_state = State::ArchiveOpened;
    return std::nullopt;
}

// ArchiveOpened or Reading -> Reading for a seek to offset, unless there is
// nothing to read there; a follow-up only acknowledges. The body holds its
// element by address: the offset is read through the pointer while the
// sender still keeps the element alive.
std::optional<MediaSide::Refusal> MediaSide::seek(const zebsDatabuf_v2* body, bool restart) {
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
    if (restart) startReading(offset);
    return std::nullopt;
}

void MediaSide::startReading(unsigned long long offset) {
    stopReading();
    m_delivered = offset;
    m_state = State::ArchiveOpened;
    if (offset == m_size) return;
    Channel& channel = *m_channel;
    channel.readAhead = m_readAll ? kReadAllChunks : kOnDemandChunks;
    channel.producing = true;
    try {
        // The worker starts by taking the lock we hold.
        std::thread(readAhead, m_channel, m_reader, channel.generation, offset, m_size, m_settings)
            .detach();
    } catch (...) {
        channel.producing = false;
        throw;
    }
    m_state = State::Reading;
}

// Reading -> ArchiveOpened: the worker read to the end, or failed, and all
// it queued was read.
// Returns the log line of the worker's failure, if it failed.
std::string MediaSide::finishReading() {
    m_state = State::ArchiveOpened;
    if (m_channel->thrown) {
        m_channel->failure = formatText("cannot read at offset %llu: %s", m_channel->thrownAt,
                                        whatThrew(m_channel->thrown).c_str());
        m_channel->thrown = nullptr;
    }
    if (m_channel->failure.empty()) return std::string();
    std::string text = describe() + ": " + m_channel->failure;
    m_channel->failure.clear();
    return text;
}

// Any state but Ended and Failed -> Closing.
void MediaSide::close() {
    stopReading();
    m_answers.clear();
    if (m_readAll && m_delivered < m_size) {
        m_answers.push_back(Message{PL_FS_READ_ALL_ABORTED, {}, 0});
    }
    m_answers.push_back(Message{PL_FS_CLOSE_AFILE, {}, 0});
    m_readAll = false;
    m_state = State::Closing;
    m_channel->changed.notify_all();
}

// Closing -> Closed: every answer was read; the pipeline is torn down.
void MediaSide::destroyAnswered(Message* message) {
    *message = Message{PL_FS_DESTROY, {}, 0};
    m_state = State::Closed;
}

// Any state but Ended and Failed -> Released; answers to a close stay.
void MediaSide::release() {
    stopReading();
    m_reader.reset();
    m_state = State::Released;
    m_channel->changed.notify_all();
}

// Any state but Failed -> Ended; the first reason stays.
void MediaSide::endWith(const std::string& why) {
    stopReading();
    m_reader.reset();
    m_answers.clear();
    if (m_state != State::Ended) m_ended = why;
    m_state = State::Ended;
    m_channel->changed.notify_all();
}

// Reading -> Failed, when next() waited in vain. Returns the log line.
std::string MediaSide::fail() {
    stopReading();
    m_reader.reset();
    m_answers.clear();
    const auto ms = static_cast<long long>(m_settings.timeout.count());
    m_failure = formatText("timed out after %lld ms without progress while waiting for data", ms);
    m_state = State::Failed;
    m_channel->changed.notify_all();
    return describe() + formatText(
                            ": no progress from the media side in %lld ms while waiting "
                            "for data; giving up",
                            ms);
}

bool MediaSide::releaseVolume(std::string* why) {
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    if (m_state == State::Failed) {
        if (why) *why = describe() + ": the media side " + m_failure;
        return false;
    }
    if (m_state != State::Ended) release();
    return true;
}

void MediaSide::end(const std::string& why) {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        if (m_state == State::Failed) return;
        endWith(why);
        text = describe() + ": ended: " + why;
    }
    platformDebug(text);
}

bool MediaSide::next(uint64_t maxLength, Message* message) {
    std::unique_lock<std::mutex> lock(m_channel->mutex);
    Channel& channel = *m_channel;
    Clock::TimePoint deadline = m_clock->now() + m_settings.timeout;
    for (;;) {
        switch (m_state) {
        case State::Reading: {
            const unsigned long long generation = channel.generation;
            const auto ready = [&] {
                return m_state != State::Reading || channel.generation != generation ||
                       !channel.chunks.empty() || !channel.producing;
            };
            if (!awaitProgress(lock, deadline, std::ref(ready))) {
                const std::string text = fail();
                lock.unlock();
                platformError(text);
                return false;
            }
            if (m_state != State::Reading || channel.generation != generation) continue;
            if (channel.chunks.empty()) {
                const std::string failure = finishReading();
                lock.unlock();
                if (!failure.empty()) platformError(failure);
                return false;
            }
            // At most maxLength bytes: the rest of the chunk stays for the
            // next call, without moving it.
            Message& front = channel.chunks.front();
            const auto taken = front.data.begin() + static_cast<std::ptrdiff_t>(channel.frontTaken);
            const std::size_t left = front.data.size() - channel.frontTaken;
            if (maxLength != 0 && left > maxLength) {
                message->type = kDataMessage;
                message->data.assign(taken, taken + static_cast<std::ptrdiff_t>(maxLength));
                channel.frontTaken += static_cast<std::size_t>(maxLength);
                message->end = front.end - (left - maxLength);
            } else {
                if (channel.frontTaken == 0) {
                    *message = std::move(front);
                } else {
                    message->type = kDataMessage;
                    message->data.assign(taken, front.data.end());
                    message->end = front.end;
                }
                channel.chunks.pop_front();
                channel.frontTaken = 0;
                channel.changed.notify_all();  // room for the worker
            }
            m_delivered = message->end;
            return true;
        }
        case State::Closing:
        case State::Released:
            if (!m_answers.empty()) {
                *message = std::move(m_answers.front());
                m_answers.pop_front();
                return true;
            }
            if (m_state == State::Released) return false;
            destroyAnswered(message);
            return true;
        default: return false;
        }
    }
}

// The wait goes in slices of a quarter of the timeout (1 ms to 1 s). A slice
// that ends over a slice late tells that this thread did not run meanwhile:
// the process was stopped (SIGSTOP, a shell's Ctrl-Z) or starved, and the
// worker with it, so that time is no stall of the media side and the
// deadline moves on by it. The steady clock alone counts it, and a restore
// resumed after a stop longer than the timeout failed its waiting streams.
// Told apart here, by the waiter itself, it needs no signal handler (no
// state shared across the process) and holds for a stop at any instant.
bool MediaSide::awaitProgress(std::unique_lock<std::mutex>& lock, Clock::TimePoint& deadline,
                              const std::function<bool()>& ready) {
    const auto slice = std::clamp<std::chrono::milliseconds>(
        m_settings.timeout / 4, std::chrono::milliseconds(1), std::chrono::seconds(1));
    for (;;) {
        const Clock::TimePoint sliceEnd = std::min(deadline, m_clock->now() + slice);
        if (m_clock->waitUntil(m_channel->changed, lock, sliceEnd, ready)) return true;
        const Clock::TimePoint now = m_clock->now();
        if (now - sliceEnd > slice) deadline += now - sliceEnd;
        if (now >= deadline) return false;
    }
}

void MediaSide::stopReading() {
    Channel& channel = *m_channel;
    ++channel.generation;
    channel.chunks.clear();
    channel.frontTaken = 0;
    channel.producing = false;
    channel.waitingForRoom = false;
    channel.reads = 0;
    channel.failure.clear();
    channel.thrown = nullptr;
    channel.changed.notify_all();
}

std::string MediaSide::describe() const {
    const std::string stream = m_stream ? formatText("stream %lu, ", m_stream) : std::string();
    return stream + archiveFileName(m_id.trellanId, m_id.groupNumber, m_id.afileId);
}

}  // namespace localplatform
