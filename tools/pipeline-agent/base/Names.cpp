#include "base/Names.h"

#include "base/AgentError.h"

namespace {

// A name as an error line shows it: whole when short, else its start.
std::string shown(const std::string& name) {
    std::string text = name.substr(0, name.find('\0'));
    if (text.size() > 60) text = text.substr(0, 40) + "...";
    return text;
}

void requireNoNul(const std::string& name, const std::string& what) {
    if (name.find('\0') != std::string::npos) {
        throw badInput(what + " \"" + shown(name) +
                       "\" holds a NUL byte, which no file name can hold");
    }
}

void requireShortName(const std::string& name, const std::string& what, const std::string& within) {
    if (name.size() > kMaxNameBytes) {
        throw badInput(what + " " + shown(within) + " has a name of " +
                       std::to_string(name.size()) + " bytes (" + shown(name) +
                       "); names of up to " + std::to_string(kMaxNameBytes) + " bytes can be used");
    }
}

}  // namespace

void requireUsablePath(const std::string& path, const std::string& what) {
    requireNoNul(path, what);
    if (path.size() > kMaxPathBytes) {
        throw badInput(what + " " + shown(path) + " is " + std::to_string(path.size()) +
                       " bytes long; paths of up to " + std::to_string(kMaxPathBytes) +
                       " bytes can be used");
    }
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        requireShortName(path.substr(start, end - start), what, path);
        start = end + 1;
    }
}

void requireUsableName(const std::string& name, const std::string& what) {
    requireNoNul(name, what);
    requireShortName(name, what, name);
}
