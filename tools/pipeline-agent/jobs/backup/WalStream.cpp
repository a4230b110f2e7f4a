#include "jobs/backup/WalStream.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/AgentError.h"
#include "wal/WalFileName.h"

WalStream::WalStream(std::string pgWal, std::string startWal, uint64_t segmentSize,
                     std::function<BackupStop()> stop)
    : m_pgWal(std::move(pgWal)),
      m_startWal(std::move(startWal)),
      m_segmentSize(segmentSize),
      m_stop(std::move(stop)) {
    // A socket, not a pipe: a reader gone makes the writer's send fail
    // (MSG_NOSIGNAL), not the process get SIGPIPE.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0) {
        throw jobFailed(std::string("cannot make the WAL's stream: ") + std::strerror(errno));
    }
    m_writer = std::thread([this] { write(); });
}

WalStream::~WalStream() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_abandoned = true;
    }
    m_changed.notify_all();
    ::shutdown(m_fds[1], SHUT_RDWR);  // a send that waits ends
    if (m_writer.joinable()) m_writer.join();
    ::close(m_fds[1]);
    if (m_fds[0] >= 0) ::close(m_fds[0]);
}

std::unique_ptr<PipeInput> WalStream::input(const std::string& name) {
    const int fd = m_fds[0];
    m_fds[0] = -1;
    return PipeInput::fromDescriptor(fd, name, "the cluster's WAL");
}

void WalStream::release() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_released = true;
    }
    m_changed.notify_all();
}

BackupStop WalStream::finish() {
    if (m_writer.joinable()) m_writer.join();
    if (!m_failure.empty()) throw jobFailed(m_failure);
    return m_stopped;
}

void WalStream::write() {
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [&] { return m_released || m_abandoned; });
        if (m_abandoned) return;
    }
    try {
        m_stopped = m_stop();
        const WalSegmentSize size(m_segmentSize);
        const WalSegment last = walSegmentOf(*parseWalFileName(m_stopped.walFile), size);
        std::vector<char> buffer(1 << 20);
        for (std::string name = m_startWal;; name = nextWalSegmentName(name, size)) {
            const std::string path = m_pgWal + "/" + name;
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) throw jobFailed("cannot read " + path + ": " + std::strerror(errno));
            uint64_t sent = 0;
            for (;;) {
                const ssize_t got = ::read(fd, buffer.data(), buffer.size());
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                for (ssize_t done = 0; done < got;) {
                    const ssize_t put = ::send(m_fds[1], buffer.data() + done,
                                               static_cast<std::size_t>(got - done), MSG_NOSIGNAL);
                    if (put < 0 && errno == EINTR) continue;
                    if (put <= 0) {
                        ::close(fd);
                        throw jobFailed("the WAL's stream was closed while " + name +
                                        " was written to it");
                    }
                    done += put;
                }
                sent += static_cast<uint64_t>(got);
            }
            ::close(fd);
            if (sent != m_segmentSize) {
                throw jobFailed(path + " holds " + std::to_string(sent) + " bytes, not a segment's " +
                                std::to_string(m_segmentSize));
            }
            if (walSegmentOf(*parseWalFileName(name), size) >= last) break;
        }
    } catch (const std::exception& error) {
        m_failure = error.what();
    }
    ::shutdown(m_fds[1], SHUT_WR);  // the stream's end
}
