#pragma once

// A Storage for tests that wraps another (the POSIX one) and makes chosen
// operations go wrong the way a disk does: fail with an errno, write short,
// stall, or lose what was never synced (a power loss). It numbers and
// records every operation it passes on. A store uses one only when its
// configuration names a fault plan (Config::storageFaults, the agent's
// --test-storage-fault). Internal to the local library.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/local/storage/Storage.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// Every operation of a Storage and of its files, as the fault plan names
// them.
enum class StorageOp {
    Create,         // createExclusive
    Open,           // openForReading
    Status,         // status
    Append,         // StorageFile::append
    Sync,           // StorageFile::sync
    Read,           // StorageFile::readAt
    Size,           // StorageFile::size
    Rename,         // rename
    Link,           // link
    Remove,         // remove
    List,           // list
    Lock,           // lock
    MakeDirectory,  // makeDirectory
    MakeParents,    // makeParents
    SyncDirectory,  // syncDirectory
    Canonical,      // canonical
    Writable,       // writable
    Truncate,       // truncate
    Pending,        // pendingWrites
    Abandon,        // abandonPendingWrite
    Replace,        // replaceDurably, over a storage that does it in one step
    Place,          // placeDurably, likewise
};

// "create", "append", "syncdir", ...: the name in a fault plan and a record.
const char* storageOpName(StorageOp op);

// What happens to the operation a fault rule picks.
enum class FaultKind {
    Fail,   // the operation is not done; it fails with the rule's errno
    Short,  // an append writes half its bytes (at least one less), then fails
    Stall,  // the operation waits the rule's time, then runs as usual
    Crash,  // a power loss: what was never synced is dropped, then the
            // process is killed (SIGKILL), the operation never done
};

// Which operations go wrong, and how. Written as comma-separated key=value
// words: "op=append,nth=3,errno=ENOSPC" (the third append fails with
// ENOSPC), "nth=7,from,errno=EIO" (the seventh operation of any kind and
// every one after it), "op=append,nth=2,short", "op=sync,nth=1,stall=200ms",
// "nth=12,crash", "op=create,in=.meta,nth=1,errno=EDQUOT" (the first
// creation of a path holding ".meta").
struct FaultRule {
    std::optional<StorageOp> op;  // only operations of this kind count; none: all
    std::string pathPart;         // only operations on a path holding this count
    unsigned long nth = 1;        // the nth operation that counts, from 1
    bool onward = false;          // and every later one that counts
    FaultKind kind = FaultKind::Fail;
    int error = EIO;                     // ENOSPC, EIO, EDQUOT or EROFS; Short and Fail only
    std::chrono::milliseconds stall{0};  // Stall only; at most kMaxStall
};

constexpr std::chrono::milliseconds kMaxStall{60000};

// Reads a fault rule. False with *why set for a word it does not know, a
// missing or zero nth, an errno other than ENOSPC, EIO, EDQUOT and EROFS, or a
// stall that is not a number of ms (or s) up to kMaxStall.
bool parseFaultRule(const std::string& text, FaultRule* rule, std::string* why);
// Reads a fault plan: one or more rules separated by ';'. Same failures.
bool parseFaultPlan(const std::string& text, std::vector<FaultRule>* rules, std::string* why);

// One operation as the fault storage passed it on (or did not).
struct StorageCall {
    unsigned long index = 0;  // from 1, over every operation
    StorageOp op = StorageOp::Status;
    std::string path;  // the file's, or from's for rename and link
    int injected = 0;  // the errno of a fault made here; 0: none
    bool stalled = false;
};

// Safe to use from several threads; its files keep it alive. Every fault it
// makes is logged as an error line first, "local platform: storage fault:
// ENOSPC at operation 12, append of <path>" (or "a short write, then EIO,
// at", "a stall of 200 ms at", "a power loss at").
class FaultInjectingStorage final : public Storage,
                                    public std::enable_shared_from_this<FaultInjectingStorage> {
public:
    using Sleep = std::function<void(std::chrono::milliseconds)>;
    using Crash = std::function<void()>;

    // Wraps inner with the given rules (none: a recording pass-through).
    // sleep stalls (default: this thread sleeps); crash ends the process
    // after a power loss (default: SIGKILL).
    FaultInjectingStorage(std::shared_ptr<Storage> inner, std::vector<FaultRule> rules,
                          Sleep sleep = nullptr, Crash crash = nullptr);

    std::unique_ptr<StorageFile> createExclusive(const std::string& path,
                                                 const FileModes& modes) override;
    std::unique_ptr<StorageFile> openForReading(const std::string& path,
                                                EntryStatus* status) override;
    bool status(const std::string& path, EntryStatus* status, bool follow) override;
    bool rename(const std::string& from, const std::string& to) override;
    bool link(const std::string& from, const std::string& to) override;
    bool remove(const std::string& path) override;
    bool list(const std::string& path, std::vector<std::string>* names) override;
    std::unique_ptr<StorageLock> lock(const std::string& path, bool create,
                                      const FileModes& modes) override;
    std::unique_ptr<StorageLock> lockShared(const std::string& path, bool create,
                                            const FileModes& modes) override;
    bool makeDirectory(const std::string& path, const FileModes& modes) override;
    bool makeParents(const std::string& path) override;
    bool syncDirectory(const std::string& path) override;
    bool canonical(const std::string& path, std::string* resolved) override;
    bool writable(const std::string& path) override;
    bool truncate(const std::string& path, unsigned long long size) override;
    bool confine(const std::string& root) override;
    std::unique_ptr<StorageFile> openForAppending(const std::string& path,
                                                  const FileModes& modes) override;
    std::vector<PendingWrite> pendingWrites(const std::string& directory) override;
    bool abandonPendingWrite(const PendingWrite& write) override;
    bool showsUnfinishedFiles() const override { return m_inner->showsUnfinishedFiles(); }
    // The inner storage's: faults change when an operation fails, not what
    // the storage can do.
    StorageCapabilities capabilities() const override { return m_inner->capabilities(); }
    // Over a file system, made of this storage's operations (each numbered,
    // as the inner storage would make it); over object storage, which
    // replaces in one step (and renames nothing), that one step.
    bool replaceDurably(const std::string& path, const std::string& text,
                        const FileModes& modes) override;
    // The same for placeDurably.
    bool placeDurably(const std::string& path, const std::string& text,
                      const FileModes& modes) override;

    // Every operation so far, in the order they were numbered.
    std::vector<StorageCall> calls() const;
    // A simulated power loss: every file made or written through this
    // storage is cut back to its size at its last sync (0 when never
    // synced), and every file, link or directory made since its directory's
    // last sync is removed. Renames and removals stand. Over a storage that
    // shows no unfinished file (object storage) nothing is lost: what it
    // acknowledged stays. Not itself numbered.
    void dropUnsynced();

private:
    class File;
    struct Decision {
        bool fail = false;
        bool shortWrite = false;
        int error = 0;
    };

    // The one place every operation passes: numbers and records it, and
    // stalls, crashes or tells it to fail as the rules say.
    Decision enter(StorageOp op, const std::string& path);
    // A name made in a directory that has not been synced since.
    void made(const std::string& path);
    void synced(const std::string& path, unsigned long long size);
    void dropUnsyncedLocked();

    const std::shared_ptr<Storage> m_inner;
    const std::vector<FaultRule> m_rules;
    const Sleep m_sleep;
    const Crash m_crash;

    mutable std::mutex m_mutex;
    std::vector<StorageCall> m_calls;
    std::map<std::size_t, unsigned long> m_counts;                 // rule -> operations it counted
    std::map<std::string, unsigned long long> m_syncedSizes;       // files written through here
    std::map<std::string, std::set<std::string>> m_unsyncedNames;  // directory -> paths
};

}  // namespace localplatform

#pragma GCC visibility pop
