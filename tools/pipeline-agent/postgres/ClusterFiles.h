#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Which entries of a PostgreSQL cluster's directories a base backup copies,
// as PostgreSQL's own base backups choose them. Left out: what the server
// remakes or empties when it starts (the contents of pg_stat_tmp,
// pg_replslot, pg_dynshmem, pg_notify, pg_serial, pg_snapshots,
// pg_subtrans), the WAL (pg_wal's contents: the restore gets the WAL from
// the archive), temporary files (pgsql_tmp*) and relation caches
// (pg_internal.init*) anywhere, the files of another backup or of the
// running server in the data directory (backup_label, tablespace_map,
// backup_manifest, postmaster.pid, postmaster.opts, and two temporary files
// the server writes), the links in pg_tblspc (the backup's tablespace_map
// names them), temporary relations, and every fork but the init fork of an
// unlogged relation. Pure; any thread.

// A relation file's name taken apart: "16390_fsm.2" is relation 16390,
// fork "fsm", segment 2.
struct RelationFile {
    std::string relation;   // its file node number, decimal
    std::string fork;       // "" (the main fork), "fsm", "vm" or "init"
    std::uint32_t segment;  // 0 for the file without a suffix, N for ".N"

    // The relation's block number of the file's first page (what a page's
    // checksum mixes in): segment times segmentBlocks, the pages of one
    // segment file (RELSEG_SIZE: 131072 for 8 KiB pages in 1 GiB files).
    std::uint32_t firstBlock(std::uint32_t segmentBlocks = 131072) const;
};

// name (one path part) as a permanent relation's file, or nothing: digits,
// then "_fsm", "_vm" or "_init" or nothing, then ".N" (N > 0) or nothing.
std::optional<RelationFile> relationFileNamed(std::string_view name);

// The relations of a database directory that have an init fork, which makes
// them unlogged, from the names of its entries.
std::set<std::string> unloggedRelationsIn(const std::vector<std::string>& namesInDirectory);

// The rules for one tree a base backup walks: the data directory, or one
// tablespace's location. Paths are relative to the tree's top, their parts
// separated by single slashes ("base/16384/16390"); a tree walk asks about
// each entry it meets and walks into a directory only when it is kept and
// not takenEmpty.
class ClusterFiles {
public:
    // The data directory's rules.
    static ClusterFiles dataDirectory();

    // A tablespace location's rules: of its top, only versionDirectory
    // (ClusterFacts::tablespaceVersionDirectory(), "PG_15_202209061") is
    // this server's.
    static ClusterFiles tablespace(std::string versionDirectory);

    // True when relativeDirectory holds a database's relation files
    // ("base/16384", "PG_15_202209061/16384"): a walk passes
    // unloggedRelationsIn of its entries' names to kept for each of them.
    bool isDatabaseDirectory(std::string_view relativeDirectory) const;

    // True when the backup takes the entry at relativePath (a directory when
    // isDirectory). unloggedRelations: for an entry of a database directory,
    // unloggedRelationsIn of that directory; ignored elsewhere.
    bool kept(std::string_view relativePath, bool isDirectory,
              const std::set<std::string>& unloggedRelations) const;

    // True for a kept directory the backup takes empty, none of its entries
    // (pg_wal, pg_wal/archive_status, pg_replslot, pg_tblspc, ...): it is
    // recorded as a directory even where it is a link (pg_wal may be one).
    bool takenEmpty(std::string_view relativePath) const;

    // True for the file copied after all others: global/pg_control, whose
    // copy must not be older than any data file's.
    bool copiedLast(std::string_view relativePath) const;

    // The entry at relativePath taken apart when it is a relation file, in
    // global/ or a database directory, whose pages carry checksums when the
    // cluster has them; nothing for any other file (pg_control,
    // pg_filenode.map, PG_VERSION, pg_internal.init, ...).
    std::optional<RelationFile> relationFile(std::string_view relativePath) const;

private:
    explicit ClusterFiles(std::string versionDirectory)
        : m_versionDirectory(std::move(versionDirectory)) {}

    // Empty for the data directory.
    std::string m_versionDirectory;
};
