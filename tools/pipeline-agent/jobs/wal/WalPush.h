#pragma once

#include <chrono>
#include <string>

#include "platform/local/Config.h"
#include "report/JsonReport.h"

struct WalPushOptions {
    std::string path;            // what PostgreSQL's %p names
    // The most streams of a batch's job: one per 256 MiB of WAL it holds.
    unsigned long streams = 4;
    std::size_t batchLimit = 64; // files a batch takes at most
};

// Archives the WAL file at options.path (a segment, history, backup history
// or partial file) in the store that config names, for archive_command:
// returns once the file is durable in the store, as a complete job whose
// manifest names it, or when the store holds it already with the same
// bytes. Whoever holds the store's PusherLock pushes: the file with every
// other file ready in its pg_wal (archive_status/*.ready), as one job; a
// wal-push that finds the lock held waits for its file to be archived (or
// the lock to be free), up to config.mediaTimeout. A segment is checked
// against its name (header: timeline, address, size) and its cluster
// against the store's. Throws AgentError: bad input for a path that is no
// readable WAL file, a failed job when the store holds other bytes under
// its name, the store belongs to another cluster, the store fails, or the
// wait ends. Leaves nothing but what a failed backup job leaves.
void runWalPush(const WalPushOptions& options, localplatform::Config config, JsonReport& json);
