#include "inputs/ProducerCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "base/AgentError.h"

extern char** environ;

namespace {

// How much of the last stderr line the error line quotes.
constexpr std::size_t kLineLimit = 300;
// How often a wait looks at `stopping`.
constexpr int kPollMs = 50;
// The process group of the command that runs (a backup has one), or 0.
std::atomic<pid_t> g_running{0};

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// A pipe whose ends are closed on exec; the child gets its write end by dup2.
void makePipe(int ends[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw jobFailed(std::string("cannot make a pipe for the producer: ") +
                        std::strerror(errno));
    }
}

// The environment a producer starts with: the agent's, without what is the
// agent's alone. $PIPELINE_PASSPHRASE opens the store's encrypted jobs; a
// producer (a dump, a script of the user's, whatever it runs in turn) has
// no use for it and must not see it. The pointers are into environ, read
// on the job's thread before the spawn (the agent changes no variable).
std::vector<char*> producerEnvironment() {
    static const char kHidden[] = "PIPELINE_PASSPHRASE=";
    std::vector<char*> kept;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, kHidden, sizeof kHidden - 1) == 0) continue;
        kept.push_back(*entry);
    }
    kept.push_back(nullptr);
    return kept;
}

}  // namespace

ProducerCommand::ProducerCommand(const std::string& command) {
    int out[2];
    int err[2];
    makePipe(out);
    try {
        makePipe(err);
    } catch (...) {
        ::close(out[0]);
        ::close(out[1]);
        throw;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP);
    std::string shell = "/bin/sh";
    std::string dashC = "-c";
    std::string text = command;
    char* argv[] = {shell.data(), dashC.data(), text.data(), nullptr};
    std::vector<char*> environment = producerEnvironment();
    const int spawned =
        ::posix_spawn(&m_pid, "/bin/sh", &actions, &attributes, argv, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    m_output = out[0];
    m_errors = err[0];
    if (spawned != 0) {
        closeFd(m_output);
        closeFd(m_errors);
        m_reaped = true;
        throw jobFailed(std::string("cannot start the producer: ") + std::strerror(spawned));
    }
    ::fcntl(m_errors, F_SETFL, ::fcntl(m_errors, F_GETFL) | O_NONBLOCK);
    g_running = m_pid;
}

void ProducerCommand::terminateRunning() {
    const pid_t group = g_running.load();
    if (group > 0) ::kill(-group, SIGTERM);
}

ProducerCommand::~ProducerCommand() {
    stop();
    closeFd(m_output);
    closeFd(m_errors);
}

void ProducerCommand::readErrors() {
    char buffer[4096];
    while (m_errors >= 0) {
        const ssize_t got = ::read(m_errors, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return;  // EAGAIN: nothing more for now
        if (got == 0) {
            closeFd(m_errors);
            break;
        }
        for (ssize_t i = 0; i < got; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                if (!m_partialLine.empty()) m_lastLine = m_partialLine;
                m_partialLine.clear();
            } else if (c != '\r' && m_partialLine.size() < kLineLimit) {
                m_partialLine += c;
            }
        }
    }
    // A last line without its newline counts once the stream ended.
    if (m_errors < 0 && !m_partialLine.empty()) {
        m_lastLine = m_partialLine;
        m_partialLine.clear();
    }
}

bool ProducerCommand::reap(int options) {
    if (m_reaped) return true;
    for (;;) {
        const pid_t done = ::waitpid(m_pid, &m_status, options);
        if (done < 0 && errno == EINTR) continue;
        if (done == m_pid || done < 0) {
            m_reaped = true;
            pid_t mine = m_pid;
            g_running.compare_exchange_strong(mine, 0);
            return true;
        }
        return false;
    }
}

bool ProducerCommand::wait(const std::function<bool()>& stopping) {
    while (!reap(WNOHANG)) {
        if (stopping()) return false;
        if (m_errors >= 0) {
            pollfd fd{m_errors, POLLIN, 0};
            ::poll(&fd, 1, kPollMs);
            readErrors();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
    }
    // What it wrote last, unless a child of it keeps its stderr open.
    readErrors();
    return true;
}

std::string ProducerCommand::failure() const {
    std::string how;
    if (WIFEXITED(m_status)) {
        if (WEXITSTATUS(m_status) == 0) return "";
        how = "exited with status " + std::to_string(WEXITSTATUS(m_status));
    } else if (WIFSIGNALED(m_status)) {
        how = "was killed by signal " + std::to_string(WTERMSIG(m_status)) + " (" +
              strsignal(WTERMSIG(m_status)) + ")";
    } else {
        how = "ended abnormally";
    }
    return how + (m_lastLine.empty() ? "; it wrote nothing on stderr"
                                     : "; its last line on stderr: " + m_lastLine);
}

void ProducerCommand::stop() {
    if (m_reaped) return;
    ::kill(-m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!reap(WNOHANG)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(-m_pid, SIGKILL);
            reap(0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Whatever else of its group is left.
    ::kill(-m_pid, SIGKILL);
}
