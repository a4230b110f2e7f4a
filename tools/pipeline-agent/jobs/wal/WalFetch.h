#pragma once

#include <string>

#include "platform/local/Config.h"
#include "report/JsonReport.h"

struct WalFetchOptions {
    std::string name;  // what PostgreSQL's %f names
    std::string path;  // what its %p names: where the file goes
};

// Fetches the archived WAL file `name` to `path` from the store that config
// names, for restore_command. Returns false, having written nothing, when
// the archive lacks it (PostgreSQL asks for files that may not exist, such
// as the history file of the next timeline). The file is verified against
// its digests before it appears at path, whole, by a rename. The job that
// holds it is restored whole, over its streams, into a spool beside path
// (<directory of path>/pipeline-agent.spool/): the files after it in the
// same job are then served from there without a request of their own, and
// each fetch removes what the spool holds of names before its own. The
// store is opened read-only. Throws AgentError: bad input for a name that
// is no WAL file's, a failed job when the store fails or the file does not
// verify.
bool runWalFetch(const WalFetchOptions& options, localplatform::Config config, JsonReport& json);
