#pragma once

#include <string>
#include <vector>

// Where a restore puts a base backup's tablespaces: PostgreSQL wants each
// as a link pg_tblspc/<oid> to a directory outside the data directory, so
// each tablespace the backup's tablespace_map names needs a new place,
// given as --tablespace-mapping OLD=NEW (OLD as the map names it).
struct TablespacePlace {
    std::string oid;
    std::string from;  // where it lay on the source
    std::string to;    // where the restore puts it: absolute, new or empty
};

// The place of each tablespace of tablespaceMap (pg_backup_stop's lines,
// "oid path"). Throws AgentError (bad input, one line) for a tablespace
// without a mapping, a mapping that is not OLD=NEW or names no tablespace of
// the backup, and a NEW that is relative, is given twice, or is neither new
// nor an empty directory. Looks at the NEW places; makes nothing.
std::vector<TablespacePlace> placeTablespaces(const std::string& tablespaceMap,
                                              const std::vector<std::string>& mappings);

// Moves each tablespace restored as dataDirectory/pg_tblspc/<oid>/ into its
// place (made 0700 when absent) and puts the link there instead. Throws
// AgentError (failed job); removeTablespaces then takes back what it did.
void moveTablespaces(const std::string& dataDirectory, const std::vector<TablespacePlace>& places);

// Empties each place (and removes those that are empty directories made by
// moveTablespaces' caller's restore): a failed restore leaves nothing in them.
void removeTablespaces(const std::vector<TablespacePlace>& places) noexcept;
