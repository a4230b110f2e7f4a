#include "inputs/PipeInput.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/AgentError.h"
#include "base/Names.h"
#include "base/StandardStreams.h"
#include "manifest/Manifest.h"

namespace {

// How long a read waits for data before it looks at `stopping` again.
constexpr int kPollMs = 100;

// A pipe of the kernel's default 64 KiB makes the producer and the reader
// take turns sixteen times a 1-MiB stripe; at 1 MiB each moves a stripe in
// one turn. Best effort: past /proc/sys/fs/pipe-max-size an unprivileged
// process is refused, and what is not a pipe has no size to set.
void widenPipe(int fd) { ::fcntl(fd, F_SETPIPE_SZ, 1 << 20); }

}  // namespace

std::unique_ptr<PipeInput> PipeInput::fromCommand(const std::string& command,
                                                      const std::string& name) {
    auto producer = std::make_unique<ProducerCommand>(command);
    const int fd = producer->output();
    return std::unique_ptr<PipeInput>(new PipeInput(name, std::move(producer), fd));
}

std::unique_ptr<PipeInput> PipeInput::fromStandardInput(const std::string& name) {
    if (::isatty(STDIN_FILENO)) {
        throw badInput("standard input is a terminal; pipe the stream into the agent (or use "
                       "--from-command)");
    }
    return std::unique_ptr<PipeInput>(new PipeInput(name, nullptr, STDIN_FILENO));
}

std::unique_ptr<PipeInput> PipeInput::fromDescriptor(int fd, const std::string& name,
                                                     const std::string& what) {
    std::unique_ptr<PipeInput> input(new PipeInput(name, nullptr, fd));
    input->m_writer = what;
    return input;
}

PipeInput::PipeInput(std::string name, std::unique_ptr<ProducerCommand> producer, int fd)
    : m_name(std::move(name)), m_producer(std::move(producer)), m_fd(fd) {
    widenPipe(m_fd);
}

PipeInput::~PipeInput() {
    stop();
    if (!m_writer.empty()) ::close(m_fd);
}

std::string PipeInput::what() const {
    if (!m_writer.empty()) return m_writer;
    return m_producer ? "the producer" : "standard input";
}

std::size_t PipeInput::read(char* data, std::size_t length,
                              const std::function<bool()>& stopping) {
    std::size_t filled = 0;
    while (filled < length && !m_ended) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {-1, POLLIN, 0}};
        if (m_producer) fds[1].fd = m_producer->errors();
        const int ready = ::poll(fds, 2, kPollMs);
        if (ready < 0 && errno != EINTR) {
            throw jobFailed("cannot read " + what() + ": " + std::strerror(errno));
        }
        if (m_producer && fds[1].revents != 0) m_producer->readErrors();
        if (stopping()) return 0;
        if (ready <= 0 || fds[0].revents == 0) continue;
        const ssize_t got = ::read(m_fd, data + filled, length - filled);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw jobFailed("cannot read " + what() + ": " + std::strerror(errno));
        }
        if (got == 0) m_ended = true;
        filled += static_cast<std::size_t>(got);
    }
    return filled;
}

bool PipeInput::finish(const std::function<bool()>& stopping) {
    if (!m_producer) return true;
    if (!m_producer->wait(stopping)) return false;
    const std::string failure = m_producer->failure();
    if (!failure.empty()) throw jobFailed("the producer " + failure);
    return true;
}

void PipeInput::stop() {
    if (m_producer) m_producer->stop();
}

void checkPipeSource(const PipeSource& source, const std::set<std::string>& fileNames) {
    if (!source.given()) {
        if (!source.name.empty()) {
            throw badInput("--name names a stream input; give --from-command or - as well");
        }
        return;
    }
    if (source.standardInput && !source.command.empty()) {
        throw badInput("give either - or --from-command, not both: a set holds one stream input");
    }
    const std::string what = source.standardInput ? "-" : "--from-command";
    if (source.name.empty()) throw badInput(what + " needs --name, the stream's name in the set");
    if (source.name == "." || source.name == ".." || source.name.find('/') != std::string::npos) {
        throw badInput("--name " + source.name + " is not a file name");
    }
    requireUsableName(source.name, "--name");
    requireRecordableName(source.name, "--name " + source.name);
    if (fileNames.count(source.name) != 0) {
        throw badInput("two inputs are named " + source.name +
                       "; the files of a set need distinct names");
    }
    if (source.standardInput && standardStreamWasClosed(STDIN_FILENO)) {
        throw badInput("standard input is closed; pipe the stream into the agent (or use "
                       "--from-command)");
    }
    if (source.standardInput && ::isatty(STDIN_FILENO)) {
        throw badInput("standard input is a terminal; pipe the stream into the agent (or use "
                       "--from-command)");
    }
}

std::unique_ptr<PipeInput> openPipeInput(const PipeSource& source) {
    if (!source.given()) return nullptr;
    if (source.standardInput) return PipeInput::fromStandardInput(source.name);
    return PipeInput::fromCommand(source.command, source.name);
}
