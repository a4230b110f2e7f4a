#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/local/Config.h"
#include "report/JsonReport.h"

namespace CLI {
class App;
}

// Runs a command whose command line was parsed: config is what the shared
// options make of the platform's configuration, with storeLogName set to the
// command's logName. Throws AgentError.
using CommandRun = std::function<void(localplatform::Config config, JsonReport& report)>;

// One of the agent's commands, as main knows it: main walks the table
// (commandTable) to add each command's subcommand, to refuse --json for those
// that print no document, to name the store log they write, and to run the
// one the command line names.
struct Command {
    std::string name;         // the subcommand's name
    std::string description;  // its line in --help
    bool json = false;        // whether it prints a document with --json
    // The log it writes in the store, <store>/logs/<logName>.log (appended);
    // empty for a command that writes none of its own (a backup's or a
    // restore's log is named by its job id).
    std::string logName;
    // Adds the command's options to its subcommand and returns what runs it,
    // with those options, once the command line is parsed.
    std::function<CommandRun(CLI::App& command)> define;
};

// Every command, in the order --help lists them.
const std::vector<Command>& commandTable();

// What --help says of --json, and the error for --json given to a command
// that prints no document; both name the commands whose json is true.
std::string jsonOptionHelp();
std::string jsonRefused(const std::string& command);
