#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <functional>

// A forked child that runs body and _exits with its result; it never returns
// into the test framework. With holdUntilReleased, the child tells the
// parent when body is done (ready()) and then waits, blocked on a pipe,
// until release() or the parent's end.
class ChildProcess {
public:
    explicit ChildProcess(std::function<int()> body, bool holdUntilReleased = false) {
        if (::pipe(m_ready) != 0 || ::pipe(m_release) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(m_ready[0]);
            ::close(m_release[1]);
            int result = 98;
            try {
                result = body();
            } catch (const std::exception& error) {
                fprintf(stderr, "child process: %s\n", error.what());
            } catch (...) {
            }
            if (holdUntilReleased) {
                const char byte = static_cast<char>(result);
                if (::write(m_ready[1], &byte, 1) != 1) _exit(99);
                char ignored;
                while (::read(m_release[0], &ignored, 1) < 0) {
                }
            }
            _exit(result);
        }
        ::close(m_ready[1]);
        ::close(m_release[0]);
    }
    ~ChildProcess() {
        release();
        wait();
        ::close(m_ready[0]);
    }

    bool started() const { return m_pid > 0; }
    // Waits until a holding child's body is done; its result, or -1.
    int ready() {
        char byte = 0;
        return ::read(m_ready[0], &byte, 1) == 1 ? byte : -1;
    }
    void release() {
        if (m_release[1] >= 0) ::close(m_release[1]);
        m_release[1] = -1;
    }
    // The child's exit status as waitpid gives it.
    int wait() {
        if (m_pid > 0) {
            ::waitpid(m_pid, &m_status, 0);
            m_pid = -1;
        }
        return m_status;
    }
    int exitCode() {
        const int status = wait();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_status = 0;
    int m_ready[2] = {-1, -1};
    int m_release[2] = {-1, -1};
};
