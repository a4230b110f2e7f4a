#pragma once

#include <string>

namespace CLI {
class App;
}

// The bash completion script of the command line app holds, for the program
// named program: it completes the commands, each command's options and the
// shared ones (which may follow the command), and the values of options that
// name a file, a group or a command. Options out of every group (those for
// tests, which only --help-all shows) are left out. Reads app only; the
// script defines _<program> (dashes made underscores) and registers it with
// `complete -F`.
std::string bashCompletion(const CLI::App& app, const std::string& program);
