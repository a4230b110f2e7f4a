#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "inputs/ProducerCommand.h"

// An input of unknown length that a backup reads once, to its end: the
// standard output of a producer command, or the agent's standard input. It
// is recorded in the set under a name of the user's choosing.
//
// Reads never block for longer than a fraction of a second without looking
// at the caller's `stopping`, so that a producer that writes nothing cannot
// keep a stopped job waiting. Thread rules: one thread at a time.
class PipeInput {
public:
    // The output of `/bin/sh -c command` (see ProducerCommand). Throws
    // AgentError (failed job) when it cannot be started.
    static std::unique_ptr<PipeInput> fromCommand(const std::string& command,
                                                    const std::string& name);
    // The agent's standard input. Throws AgentError (bad input) when it is a
    // terminal: nothing would end it.
    static std::unique_ptr<PipeInput> fromStandardInput(const std::string& name);
    // The read end fd of a pipe that this process writes itself, owned and
    // closed when destroyed; `what` names the writer in messages. The
    // writer's failures are its own to tell: its end is only an end here.
    static std::unique_ptr<PipeInput> fromDescriptor(int fd, const std::string& name,
                                                     const std::string& what);
    // Stops a producer that still runs.
    ~PipeInput();
    PipeInput(const PipeInput&) = delete;
    PipeInput& operator=(const PipeInput&) = delete;

    const std::string& name() const { return m_name; }
    // "the producer" or "standard input", for messages.
    std::string what() const;

    // Reads until length bytes are in data or the input ended; returns how
    // many, fewer than length only at its end (0 once ended), or 0 when
    // `stopping` said so. Throws AgentError (failed job) on a read error.
    std::size_t read(char* data, std::size_t length, const std::function<bool()>& stopping);
    // After the end was read: waits for the producer to end and throws
    // AgentError (failed job) naming its exit status or signal and its last
    // line on stderr when it failed. Returns false when `stopping` said so
    // first. True at once for standard input, which cannot tell a failure
    // from an end.
    bool finish(const std::function<bool()>& stopping);
    // Stops the producer now (see ProducerCommand::stop).
    void stop();

private:
    PipeInput(std::string name, std::unique_ptr<ProducerCommand> producer, int fd);

    std::string m_name;
    std::unique_ptr<ProducerCommand> m_producer;
    int m_fd;  // the producer's stdout, or 0
    bool m_ended = false;
    std::string m_writer;  // fromDescriptor's: what writes it, and m_fd is ours
};

// Where a backup's stream input comes from, as the command line gave it.
struct PipeSource {
    std::string command;         // --from-command: a producer's output
    bool standardInput = false;  // `-` among the inputs
    std::string name;            // --name: its name in the set
    bool given() const { return standardInput || !command.empty(); }
};

// Throws AgentError (bad input) unless the source is complete and fits the
// set: exactly one of a command and standard input, and only with a name
// that is a base name none of the set's files (fileNames) has; or neither,
// and no name. Standard input must be neither closed nor a terminal.
void checkPipeSource(const PipeSource& source, const std::set<std::string>& fileNames);
// The input the source names, its producer started; null when none is given.
// Throws AgentError (failed job) when the producer cannot be started.
std::unique_ptr<PipeInput> openPipeInput(const PipeSource& source);
