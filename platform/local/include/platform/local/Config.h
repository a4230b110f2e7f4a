#pragma once

// How a process uses the local platform: the configuration openStore takes,
// the access it asks for, and the error every store operation throws.

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace localplatform {

// A log level that lets nothing through, errors included.
constexpr int kLogNothing = -2;

struct Config {
    // Where the store is. Empty: $PIPELINE_STORE, else
    // $XDG_DATA_HOME/pipelinesetup/store, else
    // $HOME/.local/share/pipelinesetup/store. A relative path is taken from
    // the working directory at openStore.
    std::string storeDir;
    // The settings file. Empty: $PIPELINE_SETTINGS, else
    // <store>/settings.ini.
    std::string settingsFile;
    // Where log lines go (appended). Empty: <store>/logs/<storeLogName>.log
    // when storeLogName is set, else stderr.
    std::string logFile;
    // The name of the store's log file for this run (a job id, say): only
    // used when logFile is empty. The logs/ directory is made when absent.
    // A ReadOnly store that cannot take it gets no log file; its lines then
    // go to stderr only as stderrLevel lets them.
    std::string storeLogName;
    // Error lines pass; debug lines pass when their level is at most this.
    // debug() and Debug() lines have level 1, DebugLvl lines their own. -1
    // keeps errors only, kLogNothing nothing at all.
    int logLevel = 1;
    // When the lines go to a file: the lines that are also copied to stderr,
    // by the same rule as logLevel. kLogNothing (the default): none.
    int stderrLevel = kLogNothing;
    // The job that EvEvent contexts belong to until setCurrentJob.
    unsigned long long jobId = 0;
    // The catalog of a store made by this openStore: empty for SQLite
    // (<store>/catalog.db), else a PostgreSQL connection string (URI,
    // key=value or service=), which store.ini records and every later
    // opening uses. It must hold no password: libpq takes one from
    // PGPASSWORD, PGPASSFILE or a service file. Given for a store that
    // exists, it must name the catalog the store records. Empty: the
    // environment's $PIPELINE_CATALOG, used for a store made now only.
    std::string catalog;
    // The group a store made by this openStore is shared with: it may read
    // the store (directories 0750, files 0640, of that group). Empty: the
    // store is its owner's alone (0700 and 0600), whatever the umask. Given
    // for a store that exists, it must name the group the store records.
    std::string shareGroup;
    // The physical machine's name. Empty: the host name.
    std::string physicalMachine;
    // How long readBuffer waits for a media side that makes no progress
    // before it gives up with 0 and a log line.
    std::chrono::milliseconds mediaTimeout{60000};
    // A store in object storage that leaves a request unanswered for the
    // media timeout is taken as gone: the request is not tried again, and
    // no later one is sent (for a caller that must fail within the media
    // timeout, as an archive_command). Off: such a request is retried,
    // since a process stopped meanwhile (SIGSTOP) looks the same.
    bool giveUpOnSilentStore = false;
    // Media side reads of the archive file are made in chunks of this size.
    std::size_t chunkSize = 256 * 1024;

    // Test hooks, from here to storageFaults: a program leaves them at their
    // defaults. The steps that killAtStep and signalAtStep count are
    // crashPoint's (StepHooks.h).

    // Slows every chunk the media side reads by this much: a stand-in for
    // slow media, for tests of the timeout.
    std::chrono::milliseconds mediaChunkDelay{0};
    // Testing: QISLEEP logs its pause but does not sleep.
    bool skipPauses = false;
    // Testing: the process kills itself (SIGKILL) at the crashPoint call that
    // makes this many calls since openStore. 0: never.
    unsigned long killAtStep = 0;
    // Testing: at the crashPoint call that makes this many calls, the
    // process sends itself SIGTERM and waits (at most 10 s) until the
    // program has called interrupt(). 0: never.
    unsigned long signalAtStep = 0;
    // Testing: the store's files pass a fault storage that makes chosen
    // operations fail, write short, stall or lose what was never synced, by
    // a plan of rules separated by ';', such as "op=append,nth=3,errno=ENOSPC"
    // (the third append fails with ENOSPC), "from=7,errno=EIO" (the seventh
    // operation and every later one), "op=append,nth=2,short",
    // "op=sync,nth=1,stall=200ms", "nth=12,crash" (a power loss, then
    // SIGKILL) or "op=create,in=.meta,nth=1,errno=EDQUOT" (only operations on
    // paths holding ".meta" count). Operations: create open status append sync read size rename
    // link remove list lock mkdir mkparents syncdir canonical writable
    // truncate. Errors: ENOSPC EIO EDQUOT EROFS. An unusable plan fails
    // openStore (StoreError Unusable). Empty: the store's files as they are.
    std::string storageFaults;

    // For a repair (ReadWrite): what stands where jobs/ or this run's log
    // file belongs and is not of that kind is cleared at openStore instead
    // of refused: a symbolic link removed (the link, never what it leads
    // to), anything else renamed aside to NAME.unusable-<UTC time>. check
    // tells what was cleared (CheckResult::repaired).
    bool clearUnusablePlaces = false;
};

enum class Access { ReadWrite, ReadOnly };

// What openStore and the store operations throw.
class StoreError : public std::runtime_error {
public:
    enum class Kind {
        NotFound,  // there is no store there (ReadOnly, or create=false)
        Unusable,  // not a store, a newer format, no permission, cannot be created, damaged catalog
        JobExists, // the store already knows the job
        Failed,    // an I/O failure in the middle of an operation (disk full, ...)
        Unreachable, // the catalog's database server does not answer or the connection dropped
        Interrupted, // stopped between two steps because interrupt() was called
    };
    StoreError(Kind kind, const std::string& what) : std::runtime_error(what), m_kind(kind) {}
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

}  // namespace localplatform
