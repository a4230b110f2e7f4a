// The media side driven directly, with readers that stall inside a read the
// way a reader stuck in the kernel does: a blocking read() on a pipe that
// nobody writes. The timed tests use a short timeout, because the timeout is
// what they test, and bound each call generously.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

#include "LocalFixture.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/media/MediaSide.h"

using localplatform::MediaReader;
using localplatform::MediaSide;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using State = MediaSide::State;

namespace {

constexpr milliseconds kTimeout{150};
// What a call that must not wait may take, and what beyond the timeout a
// call that waits for it may take, on a busy machine.
constexpr milliseconds kPrompt{100};
constexpr milliseconds kMargin{2000};

const ArchiveFileId_t kId{11, 2, 3};
const std::string kFile = "archive file (11, 2, 3)";

// Counts the readers alive and wakes whoever waits for them all to go.
struct Census {
    std::mutex mutex;
    std::condition_variable gone;
    int alive = 0;
};

// A read on it blocks until open() closes the pipe's write end.
class Gate {
public:
    Gate() { EXPECT_EQ(::pipe(m_fds), 0); }
    ~Gate() {
        open();
        ::close(m_fds[0]);
    }
    void wait() {
        char byte = 0;
        while (::read(m_fds[0], &byte, 1) < 0 && errno == EINTR) {}
    }
    void open() {
        if (m_fds[1] >= 0) ::close(m_fds[1]);
        m_fds[1] = -1;
    }

private:
    int m_fds[2] = {-1, -1};
};

// Serves data from memory; a read at an offset in [stallFrom, stallTo)
// first waits at the gate, and records that it does.
class StallingReader final : public MediaReader {
public:
    StallingReader(std::string data, std::shared_ptr<Gate> gate, std::shared_ptr<Census> census,
                   unsigned long long stallFrom, unsigned long long stallTo)
        : m_data(std::move(data)),
          m_gate(std::move(gate)),
          m_census(std::move(census)),
          m_stallFrom(stallFrom),
          m_stallTo(stallTo) {
        std::lock_guard<std::mutex> lock(m_census->mutex);
        ++m_census->alive;
    }
    ~StallingReader() override {
        std::lock_guard<std::mutex> lock(m_census->mutex);
        --m_census->alive;
        m_census->gone.notify_all();
    }

    ssize_t readAt(char* data, std::size_t length, unsigned long long offset) override {
        if (offset >= m_stallFrom && offset < m_stallTo) {
            ++stalled;
            m_gate->wait();
        }
        if (offset >= m_data.size()) return 0;
        const std::size_t count = std::min<std::size_t>(length, m_data.size() - offset);
        std::memcpy(data, m_data.data() + offset, count);
        return static_cast<ssize_t>(count);
    }

    std::atomic<int> stalled{0};

private:
    const std::string m_data;
    const std::shared_ptr<Gate> m_gate;
    const std::shared_ptr<Census> m_census;
    const unsigned long long m_stallFrom, m_stallTo;
};

// Serves data from memory, but its first read at or past throwFrom throws
// what throwOnce does, as a reader that runs out of memory would.
class ThrowingReader final : public MediaReader {
public:
    ThrowingReader(std::string data, unsigned long long throwFrom, std::function<void()> throwOnce)
        : m_data(std::move(data)), m_throwFrom(throwFrom), m_throw(std::move(throwOnce)) {}

    ssize_t readAt(char* data, std::size_t length, unsigned long long offset) override {
        if (offset >= m_throwFrom && m_throw) std::exchange(m_throw, nullptr)();
        const std::size_t count = std::min<std::size_t>(length, m_data.size() - offset);
        std::memcpy(data, m_data.data() + offset, count);
        return static_cast<ssize_t>(count);
    }

private:
    const std::string m_data;
    const unsigned long long m_throwFrom;
    std::function<void()> m_throw;
};

// Time that passes only when next() waits, and at once: a wait that finds
// nothing ready ends at its deadline, and wait stopAt ends `stopped` after
// it (the process was stopped meanwhile). Wait deliverAt opens the gate
// instead and takes the worker's data, waiting (bounded) for it in earnest.
class FakeClock final : public MediaSide::Clock {
public:
    TimePoint now() override { return m_now; }
    bool waitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                   TimePoint until, const std::function<bool()>& ready) override {
        ++waits;
        if (ready()) return true;
        if (waits == deliverAt) {
            gate->open();
            return changed.wait_for(lock, kMargin, ready);
        }
        m_now = std::max(m_now, until) + (waits == stopAt ? stopped : milliseconds(0));
        return ready();
    }

    int waits = 0;
    int stopAt = 0;
    milliseconds stopped{0};
    int deliverAt = 0;
    std::shared_ptr<Gate> gate;

private:
    TimePoint m_now{};
};

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

class MediaSideTest : public LocalPlatformTest {
protected:
    void SetUp() override {
        LocalPlatformTest::SetUp();
        if (IsSkipped()) return;
        data = bytes(3500);
    }

    // Every worker abandoned in a read lets go of its reader once the read
    // returns, long after its media side is gone.
    void TearDown() override {
        gate->open();
        std::unique_lock<std::mutex> lock(census->mutex);
        EXPECT_TRUE(census->gone.wait_for(lock, std::chrono::seconds(5),
                                          [this] { return census->alive == 0; }))
            << census->alive << " readers still held";
        lock.unlock();
        LocalPlatformTest::TearDown();
    }

    // A media side over data, read in chunks of 1000, that stalls in reads
    // at [stallFrom, stallTo); *reader (if given) observes its reader. It
    // goes by clock when one is given.
    std::unique_ptr<MediaSide> make(unsigned long long stallFrom, unsigned long long stallTo,
                                    StallingReader** reader = nullptr, std::size_t chunkSize = 1000,
                                    std::shared_ptr<MediaSide::Clock> clock = nullptr) {
        auto shared = std::make_shared<StallingReader>(data, gate, census, stallFrom, stallTo);
        if (reader) *reader = shared.get();
        return std::make_unique<MediaSide>(
            shared, kId, data.size(), MediaSide::Settings{chunkSize, milliseconds(0), kTimeout},
            std::move(clock));
    }

    static CQiError sendBody(MediaSide& media, unsigned long code, void* body, std::size_t length) {
        zebsDatabuf_v2 buffer;
        buffer.setExternalBuffer(static_cast<char*>(body), length);
        return media.send(code, &buffer);
    }
    static CQiError sendEmpty(MediaSide& media, unsigned long code) {
        return sendBody(media, code, nullptr, 0);
    }
    static void openArchive(MediaSide& media) {
        FSROpenArchive body = openBody(kId, 1);
        ASSERT_FALSE(sendBody(media, FSR_MSG_OPEN_ARCHIVE, &body, sizeof body).IsError());
    }
    static CQiError seek(MediaSide& media, unsigned long long offset) {
        FSRSeekArchive element;
        element.offset = offset;
        FSRSeekArchiveArray body;
        body.count = 1;
        body.elements = &element;
        return sendBody(media, FSR_MSG_SEEK_TO_OFFSET, &body, sizeof body);
    }

    // The type of the next message, 0 when there was none; data appended.
    static int next(MediaSide& media, std::string* read = nullptr) {
        MediaSide::Message message;
        if (!media.next(0, &message)) return 0;
        if (read) read->append(message.data.begin(), message.data.end());
        return message.type;
    }

    // Waits (bounded) until the reader's worker sits in a stalled read.
    static void awaitStall(StallingReader& reader, int stalls = 1) {
        const auto start = Clock::now();
        while (reader.stalled < stalls && since(start) < kMargin) std::this_thread::yield();
        ASSERT_GE(reader.stalled, stalls);
    }

    std::string data;
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::shared_ptr<Census> census = std::make_shared<Census>();
};

// Reading data stalls: next() gives up after the timeout, logs it once, and
// from then on every call on the stream fails at once: the close message,
// the closing waits, seek, release, restore end, end and destruction.
TEST_F(MediaSideTest, AStallWhileReadingFailsTheStreamAndEveryLaterCallReturnsAtOnce) {
    StallingReader* reader = nullptr;
    auto media = make(1000, UINT64_MAX, &reader);
    openArchive(*media);
    ASSERT_FALSE(seek(*media, 0).IsError());
    std::string read;
    EXPECT_EQ(next(*media, &read), localplatform::kDataMessage);
    EXPECT_EQ(read, data.substr(0, 1000));

    auto start = Clock::now();
    EXPECT_EQ(next(*media), 0);
    const milliseconds waited = since(start);
    EXPECT_GE(waited, kTimeout);
    EXPECT_LT(waited, kTimeout + kMargin);
    EXPECT_EQ(media->state(), State::Failed);
    const std::string giveUp = "ERROR job " + std::to_string(config.jobId) +
                               ": local platform: stream 1, " + kFile +
                               ": no progress from the media side in 150 ms while waiting for "
                               "data; giving up";
    EXPECT_EQ(count(log(), giveUp), 1u) << log();

    start = Clock::now();
    const CQiError closed = sendEmpty(*media, FSR_MSG_CLOSE_ARCHIVE);
    EXPECT_EQ(closed.code(), -5);
    EXPECT_NE(
        closed.AsString().find("FSR_MSG_CLOSE_ARCHIVE (0x1800001F) refused on stream 1, " + kFile +
                               ": the media side timed out after 150 ms without "
                               "progress while waiting for data"),
        std::string::npos)
        << closed.AsString();
    EXPECT_EQ(next(*media), 0);  // the closing wait
    EXPECT_EQ(next(*media), 0);
    EXPECT_LT(seek(*media, 0).code(), 0);
    std::string why;
    EXPECT_FALSE(media->releaseVolume(&why));
    EXPECT_EQ(why, "stream 1, " + kFile +
                       ": the media side timed out after 150 ms without progress while waiting "
                       "for data");
    const CQiError ended = sendEmpty(*media, FSR_MSG_RESTORE_END);
    EXPECT_EQ(ended.code(), -5);
    media->end("its archive object was destroyed");
    EXPECT_EQ(media->state(), State::Failed);
    media.reset();
    EXPECT_LT(since(start), kPrompt);
    EXPECT_EQ(reader->stalled, 1);  // seeks were refused: no new worker
    EXPECT_EQ(count(log(), giveUp), 1u);
}

// The worker is stuck in a read when the close comes: the close abandons it
// and its answers are there at once, in order, with no timeout involved.
TEST_F(MediaSideTest, ACloseAnswersAtOnceWhileTheWorkerIsStuck) {
    StallingReader* reader = nullptr;
    auto media = make(1000, UINT64_MAX, &reader);
    openArchive(*media);
    ASSERT_FALSE(media->send(FSR_MSG_READ_ALL, nullptr).IsError());
    ASSERT_FALSE(seek(*media, 0).IsError());
    EXPECT_EQ(next(*media), localplatform::kDataMessage);
    awaitStall(*reader);

    const auto start = Clock::now();
    ASSERT_FALSE(sendEmpty(*media, FSR_MSG_CLOSE_ARCHIVE).IsError());
    EXPECT_EQ(media->state(), State::Closing);
    EXPECT_EQ(next(*media), PL_FS_READ_ALL_ABORTED);
    EXPECT_EQ(next(*media), PL_FS_CLOSE_AFILE);
    EXPECT_EQ(next(*media), PL_FS_DESTROY);
    EXPECT_EQ(media->state(), State::Closed);
    EXPECT_EQ(next(*media), 0);
    EXPECT_TRUE(media->releaseVolume(nullptr));
    EXPECT_EQ(media->state(), State::Released);
    ASSERT_FALSE(sendEmpty(*media, FSR_MSG_RESTORE_END).IsError());
    EXPECT_EQ(media->state(), State::Ended);
    media.reset();
    EXPECT_LT(since(start), kPrompt);
}

// Release, restore end and destruction, each while a worker is stuck in its
// very first read, never wait for it.
TEST_F(MediaSideTest, ReleaseRestoreEndAndDestructionDoNotWaitForAStuckWorker) {
    std::vector<StallingReader*> readers(3);
    std::vector<std::unique_ptr<MediaSide>> media;
    for (StallingReader*& reader : readers) {
        media.push_back(make(0, UINT64_MAX, &reader));
        openArchive(*media.back());
        ASSERT_FALSE(seek(*media.back(), 0).IsError());
        awaitStall(*reader);
    }
    const auto start = Clock::now();
    EXPECT_TRUE(media[0]->releaseVolume(nullptr));
    EXPECT_EQ(next(*media[0]), 0);
    ASSERT_FALSE(sendEmpty(*media[1], FSR_MSG_RESTORE_END).IsError());
    EXPECT_EQ(next(*media[1]), 0);
    const CQiError refused = seek(*media[1], 0);
    EXPECT_NE(refused.AsString().find("the media side has ended: FSR_MSG_RESTORE_END was sent"),
              std::string::npos);
    media.clear();  // the third one still reading
    EXPECT_LT(since(start), kPrompt);
    EXPECT_EQ(log().find("giving up"), std::string::npos);
}

// A seek while the worker is stuck at the old position delivers the new
// position's data only, also when the stuck read returns meanwhile.
TEST_F(MediaSideTest, ASeekAfterAStallDeliversTheNewOffsetOnly) {
    StallingReader* reader = nullptr;
    auto media = make(0, 1, &reader);  // only the read at offset 0 stalls
    openArchive(*media);
    ASSERT_FALSE(seek(*media, 0).IsError());
    awaitStall(*reader);

    ASSERT_FALSE(seek(*media, 2500).IsError());
    gate->open();  // the old worker's read returns the chunk at 0, too late
    std::string read;
    while (next(*media, &read) == localplatform::kDataMessage) {}
    EXPECT_EQ(read, data.substr(2500));
    EXPECT_EQ(media->state(), State::ArchiveOpened);
}

// Many seeks in a row, some with a chunk read in between: each read starts
// at the latest offset, and all that is left is the last offset's data.
TEST_F(MediaSideTest, ManySeeksInARowDeliverOnlyTheLastOffsetsData) {
    auto media = make(UINT64_MAX, UINT64_MAX, nullptr, 100);
    openArchive(*media);
    for (unsigned long long i = 0; i < 300; ++i) {
        const unsigned long long offset = (i * 37) % data.size();
        ASSERT_FALSE(seek(*media, offset).IsError());
        if (i % 10 == 0) {
            std::string chunk;
            ASSERT_EQ(next(*media, &chunk), localplatform::kDataMessage) << i;
            ASSERT_EQ(chunk, data.substr(offset, 100)) << i;
        }
    }
    ASSERT_FALSE(seek(*media, 1234).IsError());
    std::string read;
    while (next(*media, &read) == localplatform::kDataMessage) {}
    EXPECT_EQ(read, data.substr(1234));
}

// The transitions that the archive path does not show: messages refused by
// state, and a close after a release answered with PL_FS_DESTROY again.
TEST_F(MediaSideTest, MessagesAreCheckedAgainstTheState) {
    auto media = make(UINT64_MAX, UINT64_MAX);
    EXPECT_EQ(media->state(), State::Opened);
    EXPECT_EQ(media->send(FSR_MSG_READ_ALL, nullptr).code(), -3);
    openArchive(*media);
    EXPECT_EQ(media->state(), State::ArchiveOpened);
    ASSERT_FALSE(seek(*media, 3000).IsError());
    EXPECT_EQ(media->state(), State::Reading);
    std::string read;
    EXPECT_EQ(next(*media, &read), localplatform::kDataMessage);
    EXPECT_EQ(next(*media), 0);  // nothing more: back to idle
    EXPECT_EQ(media->state(), State::ArchiveOpened);
    EXPECT_EQ(read, data.substr(3000));

    EXPECT_TRUE(media->releaseVolume(nullptr));
    const CQiError released = seek(*media, 0);
    EXPECT_EQ(released.code(), -3);
    EXPECT_NE(released.AsString().find("the archive file's volume was released"),
              std::string::npos);
    ASSERT_FALSE(sendEmpty(*media, FSR_MSG_CLOSE_ARCHIVE).IsError());
    EXPECT_EQ(media->state(), State::Closing);
    EXPECT_LT(seek(*media, 0).code(), 0);
    EXPECT_EQ(next(*media), PL_FS_CLOSE_AFILE);
    EXPECT_EQ(next(*media), PL_FS_DESTROY);
    EXPECT_EQ(next(*media), 0);
    media->end("it was replaced");
    media->end("it was destroyed");
    const CQiError ended = sendEmpty(*media, FSR_MSG_CLOSE_ARCHIVE);
    EXPECT_EQ(ended.code(), -4);
    EXPECT_NE(ended.AsString().find("the media side has ended: it was replaced"),
              std::string::npos);
}

// Without FSR_MSG_READ_ALL the worker reads only what the reader takes, one
// chunk ahead; with it, it streams on through a queue of four chunks. Either
// way it stops reading when the queue is full, so memory stays bounded.
TEST_F(MediaSideTest, ReadAheadIsOneChunkOnDemandAndFourWithReadAll) {
    data = bytes(10000);  // ten chunks
    StallingReader* reader = nullptr;
    auto media = make(UINT64_MAX, UINT64_MAX, &reader);
    openArchive(*media);
    const auto awaitFull = [&media](std::size_t queued) {
        const auto start = Clock::now();
        MediaSide::Progress now = media->progress();
        while (!(now.waitingForRoom && now.queued == queued) && since(start) < kMargin) {
            std::this_thread::yield();
            now = media->progress();
        }
        return now;
    };

    ASSERT_FALSE(seek(*media, 1500).IsError());
    MediaSide::Progress now = awaitFull(1);
    EXPECT_TRUE(now.waitingForRoom);
    EXPECT_EQ(now.reads, 1u);
    EXPECT_EQ(now.readAhead, 1u);
    std::string read;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(next(*media, &read), localplatform::kDataMessage);
    now = awaitFull(1);
    EXPECT_EQ(now.reads, 4u);  // the three taken and one ahead
    EXPECT_EQ(read, data.substr(1500, 3000));

    // Read-all while reading lets the same worker go on ahead.
    ASSERT_FALSE(media->send(FSR_MSG_READ_ALL, nullptr).IsError());
    now = awaitFull(4);
    EXPECT_EQ(now.reads, 7u);
    EXPECT_EQ(now.readAhead, 4u);

    // A seek drops all of it and starts a worker that keeps reading ahead.
    ASSERT_FALSE(seek(*media, 0).IsError());
    now = awaitFull(4);
    EXPECT_EQ(now.reads, 4u);
    read.clear();
    while (next(*media, &read) == localplatform::kDataMessage) {}
    EXPECT_EQ(read, data);
    EXPECT_EQ(media->progress().reads, 10u);
}

// maxLength splits a chunk without losing or repeating a byte, also across
// chunks and seeks, and a close after everything was delivered reports no
// aborted read-all.
TEST_F(MediaSideTest, MaxLengthSplitsChunksExactly) {
    auto media = make(UINT64_MAX, UINT64_MAX);
    openArchive(*media);
    ASSERT_FALSE(media->send(FSR_MSG_READ_ALL, nullptr).IsError());
    ASSERT_FALSE(seek(*media, 10).IsError());
    MediaSide::Message message;
    ASSERT_TRUE(media->next(300, &message));
    EXPECT_EQ(std::string(message.data.begin(), message.data.end()), data.substr(10, 300));
    EXPECT_EQ(message.end, 310u);

    ASSERT_FALSE(seek(*media, 2900).IsError());  // drops the partly taken chunk
    std::string read;
    std::vector<unsigned long long> ends;
    while (media->next(256, &message)) {
        ASSERT_LE(message.data.size(), 256u);
        read.append(message.data.begin(), message.data.end());
        ends.push_back(message.end);
    }
    EXPECT_EQ(read, data.substr(2900));
    // The chunk from 2900 is the file's last, 600 bytes: 256, 256 and 88.
    EXPECT_EQ(ends, (std::vector<unsigned long long>{3156, 3412, 3500}));

    ASSERT_FALSE(sendEmpty(*media, FSR_MSG_CLOSE_ARCHIVE).IsError());
    EXPECT_EQ(next(*media), PL_FS_CLOSE_AFILE);
    EXPECT_EQ(next(*media), PL_FS_DESTROY);
}

// Every accepted message is the platform's own debug line, naming the
// stream, the file and, for a seek, the offset and how far it reads.
TEST_F(MediaSideTest, AcceptedMessagesAreLogged) {
    auto media = make(UINT64_MAX, UINT64_MAX);
    openArchive(*media);
    ASSERT_FALSE(seek(*media, 700).IsError());
    ASSERT_FALSE(media->send(FSR_MSG_READ_ALL, nullptr).IsError());
    ASSERT_FALSE(seek(*media, 3000).IsError());
    const std::string prefix = "DEBUG1 job " + std::to_string(config.jobId) +
                               ": local platform: stream 1, " + kFile + ": accepted ";
    const std::string text = log();
    EXPECT_EQ(count(text, prefix + "FSR_MSG_OPEN_ARCHIVE (0x18000002)\n"), 1u) << text;
    EXPECT_EQ(count(text, prefix + "FSR_MSG_SEEK_TO_OFFSET (0x18000095) at offset 700, reading "
                                   "what the stream takes\n"),
              1u)
        << text;
    EXPECT_EQ(count(text, prefix + "FSR_MSG_READ_ALL (0x1800000C)\n"), 1u) << text;
    EXPECT_EQ(count(text, prefix + "FSR_MSG_SEEK_TO_OFFSET (0x18000095) at offset 3000, reading "
                                   "on to the end of the file\n"),
              1u)
        << text;
}

// Time the process was stopped (SIGSTOP, Ctrl-Z) is not the media side's
// stall: a stop of ten timeouts while next() waits moves its deadline on by
// the stop, and data that comes after it is delivered. A late wake-up of
// less than a wait's slice (a busy machine) still counts. No test here
// waits out a timeout: the clock is the test's.
TEST_F(MediaSideTest, TimeTheProcessWasStoppedIsNoStall) {
    const milliseconds stop = 10 * kTimeout;
    const struct {
        milliseconds stopped;
        milliseconds failsAfter;
    } stalls[] = {{stop, kTimeout + stop}, {milliseconds(30), kTimeout}};
    for (const auto& stall : stalls) {
        auto clock = std::make_shared<FakeClock>();
        clock->stopAt = 1;
        clock->stopped = stall.stopped;
        auto media = make(0, UINT64_MAX, nullptr, 1000, clock);
        openArchive(*media);
        ASSERT_FALSE(seek(*media, 0).IsError());
        const auto start = Clock::now();
        const auto clockStart = clock->now();
        EXPECT_EQ(next(*media), 0);
        EXPECT_EQ(clock->now() - clockStart, stall.failsAfter) << stall.stopped.count();
        EXPECT_EQ(media->state(), State::Failed);
        EXPECT_LT(since(start), kPrompt);
    }
    EXPECT_EQ(count(log(),
                    "no progress from the media side in 150 ms while waiting for data; "
                    "giving up"),
              2u)
        << log();

    auto clock = std::make_shared<FakeClock>();
    clock->stopAt = 1;
    clock->stopped = stop;
    clock->deliverAt = 2;
    clock->gate = gate;
    auto media = make(0, UINT64_MAX, nullptr, 1000, clock);
    openArchive(*media);
    ASSERT_FALSE(seek(*media, 0).IsError());
    std::string read;
    EXPECT_EQ(next(*media, &read), localplatform::kDataMessage);
    EXPECT_EQ(read, data.substr(0, 1000));
    EXPECT_EQ(media->state(), State::Reading);
    EXPECT_EQ(count(log(), "giving up"), 2u);
}

// A worker that throws (out of memory, as a rule) stops as a failed read
// does, where its thread would end the process: next() says so at once,
// with one log line, and a later seek reads again.
TEST_F(MediaSideTest, AWorkerThatThrowsStopsItsReadWithALogLine) {
    const struct {
        std::function<void()> throwOnce;
        std::string says;
    } cases[] = {
        {[] { throw std::bad_alloc(); }, "out of memory"},
        {[] { throw std::runtime_error("no buffer for the read"); }, "no buffer for the read"}};
    for (const auto& thrown : cases) {
        auto media = std::make_unique<MediaSide>(
            std::make_shared<ThrowingReader>(data, 1000, thrown.throwOnce), kId, data.size(),
            MediaSide::Settings{1000, milliseconds(0), kMargin});
        openArchive(*media);
        ASSERT_FALSE(seek(*media, 0).IsError());
        std::string read;
        EXPECT_EQ(next(*media, &read), localplatform::kDataMessage);
        EXPECT_EQ(next(*media), 0);
        EXPECT_EQ(read, data.substr(0, 1000));
        EXPECT_EQ(media->state(), State::ArchiveOpened);
        const std::string line = "ERROR job " + std::to_string(config.jobId) +
                                 ": local platform: stream 1, " + kFile +
                                 ": cannot read at offset 1000: " + thrown.says + "\n";
        EXPECT_EQ(count(log(), line), 1u) << log();

        ASSERT_FALSE(seek(*media, 1000).IsError());
        read.clear();
        while (next(*media, &read) == localplatform::kDataMessage) {}
        EXPECT_EQ(read, data.substr(1000));
        EXPECT_EQ(count(log(), line), 1u);
    }
}
