#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

// A command whose standard output a backup reads: `/bin/sh -c COMMAND`, its
// stdout and stderr pipes to this process, its stdin this process's. It runs
// in a process group of its own, so that it (and a pipeline the shell starts)
// can be stopped as one, and a Ctrl-C at the terminal reaches the agent
// alone, which then stops it. It starts with SIGPIPE, SIGINT and SIGTERM at
// their defaults and unblocked, whatever the agent does with them, and with
// the agent's environment but $PIPELINE_PASSPHRASE, which is the store's
// key and none of the producer's business.
//
// Thread rules: one thread at a time; the reader thread of a backup owns it
// while the stream is read, the job's thread before and after.
class ProducerCommand {
public:
    // Starts the command. Throws AgentError (failed job) when it cannot.
    explicit ProducerCommand(const std::string& command);
    // Stops the command when it still runs (stop()) and closes the pipes.
    ~ProducerCommand();
    ProducerCommand(const ProducerCommand&) = delete;
    ProducerCommand& operator=(const ProducerCommand&) = delete;

    // The read end of its stdout.
    int output() const { return m_output; }
    // The read end of its stderr; -1 once that reached its end.
    int errors() const { return m_errors; }
    // Takes what its stderr has to give without blocking, keeping the last
    // line that is not empty (at most a few hundred bytes of it).
    void readErrors();
    const std::string& lastErrorLine() const { return m_lastLine; }

    // Waits for the command to end, reading its stderr meanwhile and looking
    // at `stopping` every few milliseconds; returns false when stopping said
    // so first (the command then still runs). Once it returned true,
    // failure() tells how the command ended.
    bool wait(const std::function<bool()>& stopping);
    // Empty when the command exited with status 0; else one line: "exited
    // with status 3" or "was killed by signal 9 (Killed)", and its last line
    // on stderr.
    std::string failure() const;

    // Sends SIGTERM to the process group of every command that runs, at
    // once; for a signal's reaction, so that a producer that writes nothing
    // does not outlive an agent that a second signal ends at once. Any thread.
    static void terminateRunning();

    // Ends the command's process group: SIGTERM, then SIGKILL after a second
    // if it has not ended; reaps it. Does nothing once it was reaped.
    void stop();

private:
    bool reap(int options);  // true once the command was reaped

    pid_t m_pid = -1;
    int m_output = -1;
    int m_errors = -1;
    int m_status = 0;
    bool m_reaped = false;
    std::string m_partialLine;  // stderr after its last newline
    std::string m_lastLine;
};
