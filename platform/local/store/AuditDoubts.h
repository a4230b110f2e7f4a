#pragma once

// What an audit found that a job at work could explain, and the later looks
// at the catalog that tell which of it are problems. Internal to the local
// library.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/catalog/CatalogBackend.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store;

namespace audit {

// The catalog as one moment left it: its own consistency check, its files
// and its jobs, read in one read transaction that ends before anything else
// is looked at.
struct CatalogView {
    std::vector<std::string> integrity;
    std::vector<ArchiveFileRecord> rows;
    std::vector<CatalogJob> jobs;
};

// Reads the view, the catalog's own consistency check only when integrity
// is set.
CatalogView readView(CatalogBackend& catalog, bool integrity);

// What a look at the store found that a job at work could explain: a file
// or a marker made after the catalog was read, a job that completed since,
// a file removed since. Each is looked at again against a later view of the
// catalog before it is called a problem.
struct Doubt {
    enum class Kind {
        UnknownData,        // files/N.arch that the view lacks
        UnknownSidecar,     // files/N.meta without its data, that the view lacks
        MarkerUnknownJob,   // jobs/J.complete of a job the view lacks
        MarkerNotComplete,  // jobs/J.complete of a job the view has as not complete
        WriterGone,         // a job running in the view whose writer was gone
        Row,                // a problem of a file the view has, in the state it had
    };
    Kind kind;
    uint64_t id;                 // the archive file's id, or the job's
    std::string state;           // for Row: the file's state in the view
    unsigned long long job = 0;  // for Row: the file's job
    std::size_t slot;            // its place among the problems, empty until settled
    std::string problem;
};

// Looks at the doubts again against a later view of the catalog; while
// some are pending (files of a creation under way, it seems), again, for at
// most kSettleTime (5 s) in all: a creation enters its file in the catalog moments
// after the file appears. Returns the doubts left, which are problems.
//
// The jobs whose writers live are asked before the view is read and again
// after: a job that lived before is at work in the view or ended after
// committing what it made, and one that lives after can still commit; only
// a job that lived at neither time has left for good what the view lacks.
std::vector<Doubt> settle(const Store& store, CatalogBackend& catalog, std::vector<Doubt> doubts);

}  // namespace audit

}  // namespace localplatform

#pragma GCC visibility pop
