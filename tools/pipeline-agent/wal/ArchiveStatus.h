#pragma once

// The WAL files a PostgreSQL cluster has marked ready for archiving, read
// from its pg_wal/archive_status directory.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

// The names X (not paths) for which pgWal/archive_status/X.ready exists and X
// is a name PostgreSQL archives (see parseWalFileName; other .ready files are
// skipped), in the order PostgreSQL's archiver takes them: timeline history
// files first, then the rest, each group in name order. At most limit names
// are returned, the first ones of that order. Reads the directory once and
// changes nothing. Throws AgentError (bad input) when
// pgWal/archive_status is not a directory, (job failed) when it cannot be
// read. Any thread may call it; a cluster that marks files meanwhile may or
// may not have them listed.
std::vector<std::string> walFilesReadyForArchive(const std::filesystem::path& pgWal,
                                                 std::size_t limit);
