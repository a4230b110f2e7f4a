#include "jobs/restore/StandardOutputTarget.h"

#include <unistd.h>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/InputRules.h"

StandardOutputTarget::StandardOutputTarget(const RestoreOptions& options,
                                           const Manifest& manifest, bool json)
    : NamedFilesTarget(options, manifest) {
    if (files().size() != 1) {
        throw badInput("--output - writes one input; name it with --file");
    }
    if (!files()[0]->isStream()) {
        throw badInput(files()[0]->name +
                       " is a file, not a stream input; --output - takes a stream input only, "
                       "restore a file to a path");
    }
    if (json) {
        throw badInput("--json prints on standard output, which --output - takes for the data");
    }
    if (options.replace) throw badInput("--force has nothing to replace with --output -");
    if (::isatty(STDOUT_FILENO)) {
        throw badInput("standard output is a terminal; pipe or redirect --output -");
    }
}

bool StandardOutputTarget::writesAt(const std::string& path) const {
    return samePlace("-", path);
}

std::string StandardOutputTarget::readFile(std::size_t i, const RequestStreams& streams) {
    StripesInOrder sink(STDOUT_FILENO, *files()[i]);
    return streams.readStreamInput(*files()[i], sink);
}

nlohmann::ordered_json StandardOutputTarget::commit() {
    say("restored %s to standard output: %llu bytes, every stripe verified",
        files()[0]->name.c_str(), static_cast<unsigned long long>(files()[0]->size));
    return nlohmann::ordered_json::array();
}
