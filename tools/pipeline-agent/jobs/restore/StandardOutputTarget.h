#pragma once

#include <string>

#include "jobs/restore/NamedFilesTarget.h"

// `--output -`: one stream input of the set, named by --file, written to
// standard output stripe by stripe in order as the stripes are verified.
// Nothing can be taken back once written: after a damaged stripe, what came
// before it was written and nothing after (see StripesInOrder).
class StandardOutputTarget : public NamedFilesTarget {
public:
    // Throws AgentError (bad input): no single stream input chosen, --json
    // (which prints on standard output), --force, or standard output a
    // terminal.
    StandardOutputTarget(const RestoreOptions& options, const Manifest& manifest, bool json);

    bool writesAt(const std::string& path) const override;
    void requireOutsideStores(const std::string&) const override {}
    void open(const std::string&) override {}
    nlohmann::ordered_json commit() override;
    void close() noexcept override {}

protected:
    std::string readFile(std::size_t i, const RequestStreams& streams) override;
};
