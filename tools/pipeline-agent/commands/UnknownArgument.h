#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

// What a command line that did not parse names that the agent does not
// know, said plainly with the nearest name it does know: "unknown command
// lsit; did you mean list?", "unknown option --manfest; did you mean
// --manifest?" (without a "did you mean" when nothing is near). Options are
// looked up among the command's and the shared ones. Empty when every
// command and option the arguments (argv without the program) name is
// known.
std::string unknownArgument(CLI::App& app, const std::vector<std::string>& arguments);
