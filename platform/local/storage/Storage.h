#pragma once

// The bytes of a store: every file and directory of it that the platform
// makes, writes, reads, renames, links, removes, lists or locks goes through
// one Storage. PosixStorage is the real one; FaultInjectingStorage wraps it
// to make chosen operations fail. The catalog's own files (SQLite) and
// connections (libpq) are their libraries' business and stay outside.
// Internal to the local library.
//
// Errors are reported as the system reports them: false, null or -1 with
// errno set, so that callers word their messages as before and a fault
// injected below looks exactly like one from the file system.

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/local/storage/FileModes.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// What a directory entry is, as status() tells it.
struct EntryStatus {
    enum class Kind { Regular, Directory, Link, Fifo, Device, Other };
    Kind kind = Kind::Other;
    unsigned long long size = 0;
    mode_t permissions = 0;  // the mode's low 12 bits
};

// "a FIFO", "a directory", "a device", "a symbolic link" or "a special
// file": what an entry that is not a regular file is called in messages.
const char* describeKind(EntryStatus::Kind kind);

// One open file of the store: closed when the object goes. append and sync
// are for one thread at a time (the writer serialises them); readAt and
// size may be called from several threads at once.
class StorageFile {
public:
    virtual ~StorageFile() = default;

    // The path it was opened by.
    virtual const std::string& path() const = 0;
    // Writes all length bytes at the end of the file. False with errno set
    // when a write fails; the bytes written before the failure stay in the
    // file and *written (when given) counts them.
    virtual bool append(const void* data, std::size_t length, std::size_t* written) = 0;
    // Makes the file's data durable. False with errno set.
    virtual bool sync() = 0;
    // Makes the data durable and the file whole: nothing is appended after.
    // Where a file is written in parts (an object store's upload), the file
    // comes into being here and is checked to hold every byte appended.
    // False with errno set: the file is then not whole and never will be.
    virtual bool finish() { return sync(); }
    // Reads length bytes at offset into data, fewer only at the end of the
    // file. Returns the count, or -1 with errno set.
    virtual ssize_t readAt(void* data, std::size_t length, unsigned long long offset) = 0;
    // The file's size now. False with errno set.
    virtual bool size(unsigned long long* size) = 0;
};

// A lock on a file of the store (flock), held while the object lives.
class StorageLock {
public:
    virtual ~StorageLock() = default;
};

// A write begun but never finished whose parts the storage keeps apart
// from its files (an object store's unfinished upload).
struct PendingWrite {
    std::string path;  // the file it would have made
    std::string id;    // the storage's name for the write
};

// What a storage can do, for the code that uses it to ask instead of
// telling one from another by the store's name. An operation a storage
// lacks fails with ENOTSUP, or is made of others, as each field says.
struct StorageCapabilities {
    // rename() renames in one step, replacing what is there; false: ENOTSUP.
    bool rename = true;
    // link() makes a second name of the same file; false: it makes an
    // exclusive copy (EEXIST all the same when to exists), which the file
    // it was copied from does not share.
    bool hardLinks = true;
    // lock() and lockShared() lock; false: ENOTSUP (a store there keeps its
    // job locks with its catalog).
    bool locks = true;
    // openForAppending opens a file to append to; false: ENOTSUP.
    bool appending = true;
    // truncate() cuts a file back; false: ENOTSUP.
    bool truncation = true;
    // A directory is an entry of its own, made durable by syncDirectory;
    // false: a directory is there while names lie below it, one made with
    // nothing below is kept in this storage's memory only, and syncing one
    // does nothing.
    bool directories = true;
    // Writes begun and not finished are kept apart from the files, listed by
    // pendingWrites and dropped by abandonPendingWrite; false: none is ever
    // listed.
    bool pendingWrites = false;
    // The paths are a folder on this host, beside which a store keeps what
    // stays on this host (its logs, say); false: the bytes are elsewhere,
    // and what stays on this host needs a local directory of its own.
    bool hostFolder = true;

    bool operator==(const StorageCapabilities&) const = default;
};

// Safe to use from several threads. Paths are full paths.
class Storage {
public:
    virtual ~Storage() = default;

    // Creates path exclusively (never following a link) for writing at its
    // end, with exactly the store's mode and group. Null with errno set:
    // EEXIST when something is there already; on a later failure the file
    // just made is removed again.
    virtual std::unique_ptr<StorageFile> createExclusive(const std::string& path,
                                                         const FileModes& modes) = 0;
    // Opens a regular file for reading without ever blocking and without
    // following a link. Null with errno set: ELOOP for a symbolic link;
    // EINVAL for another kind of entry, which *status then describes.
    virtual std::unique_ptr<StorageFile> openForReading(const std::string& path,
                                                        EntryStatus* status) = 0;
    // What path is, without following a link (with follow: what it leads
    // to). False with errno set.
    virtual bool status(const std::string& path, EntryStatus* status, bool follow = false) = 0;
    // Renames from to to, replacing to. False with errno set; nothing
    // changed then.
    virtual bool rename(const std::string& from, const std::string& to) = 0;
    // Makes to a second name of from. False with errno set (EEXIST when to
    // exists); nothing changed then.
    virtual bool link(const std::string& from, const std::string& to) = 0;
    // Removes the name path (never a directory: EISDIR). False with errno
    // set; ENOENT when there was none.
    virtual bool remove(const std::string& path) = 0;
    // The names in directory path, "." and ".." left out, in no order.
    // False with errno set.
    virtual bool list(const std::string& path, std::vector<std::string>* names) = 0;
    // Takes the exclusive lock of path without waiting, creating the file
    // with the store's modes when create is set. Null with errno set:
    // EWOULDBLOCK when another holder has it, ENOENT when there is no file
    // to lock and create is not set.
    virtual std::unique_ptr<StorageLock> lock(const std::string& path, bool create,
                                              const FileModes& modes) = 0;
    // The same, but the shared lock, which other shared holders may hold
    // at once and an exclusive holder excludes.
    virtual std::unique_ptr<StorageLock> lockShared(const std::string& path, bool create,
                                                    const FileModes& modes) = 0;
    // Makes the directory path with the store's modes; one that exists is
    // left as it is. False with errno set; a directory made here is removed
    // again then.
    virtual bool makeDirectory(const std::string& path, const FileModes& modes) = 0;
    // Makes the directories above path that are missing, as the user's
    // umask has them (the folders above a store are the user's). False with
    // errno set; what was made stays.
    virtual bool makeParents(const std::string& path) = 0;
    // Makes the directory's entries (creations, renames, links, removals)
    // durable. False with errno set.
    virtual bool syncDirectory(const std::string& path) = 0;
    // The canonical path of an existing path (realpath). False with errno
    // set.
    virtual bool canonical(const std::string& path, std::string* resolved) = 0;
    // True when this process may write in the directory path (access W_OK);
    // false with errno set.
    virtual bool writable(const std::string& path) = 0;
    // Cuts the file path back to size bytes (the fault storage's power
    // loss). False with errno set; the file unchanged then.
    virtual bool truncate(const std::string& path, unsigned long long size) = 0;
    // From now on every path below the directory root (a canonical path,
    // the store's) is reached from root's own descriptor, one component at
    // a time, never following a link on the way or at its end, and a path
    // below it naming "." or ".." is refused (EACCES). Paths elsewhere are
    // reached as before. False with errno set when root cannot be opened as
    // a directory; nothing changed then. The default does nothing (a
    // storage without links has nothing to confine).
    virtual bool confine(const std::string& root);
    // Opens the regular file path for appending at its end, making it with
    // exactly the store's mode and group when it is not there, never
    // following a link and never blocking. Null with errno set: ELOOP for a
    // symbolic link, EINVAL for another kind of entry. The default refuses
    // (ENOTSUP).
    virtual std::unique_ptr<StorageFile> openForAppending(const std::string& path,
                                                          const FileModes& modes);
    // The writes begun below directory and not finished, this process's
    // included (a storage without such writes: none). Empty with errno set
    // when they cannot be listed.
    virtual std::vector<PendingWrite> pendingWrites(const std::string& directory) {
        (void)directory;
        errno = 0;
        return {};
    }
    // Drops a pending write and what it kept. False with errno set.
    virtual bool abandonPendingWrite(const PendingWrite& write) {
        (void)write;
        errno = ENOTSUP;
        return false;
    }
    // What this storage can do. The default: what a file system does.
    virtual StorageCapabilities capabilities() const { return {}; }
    // Whether a file being written is there at its path before it is
    // finished (a file system: yes; object storage, whose object appears
    // only when its upload completes: no, and a write given up leaves none).
    virtual bool showsUnfinishedFiles() const { return true; }

    // The store's small durable files (descriptions, completion markers,
    // store.ini), made of the operations above: creates path exclusively
    // holding text, syncs it and its directory. False with errno set of the
    // step that failed: EEXIST when path exists; a file whose data did not
    // reach the disk is removed again. A failed directory sync leaves the
    // complete file in place.
    bool createDurably(const std::string& path, const std::string& text, const FileModes& modes);
    // The same, but whole or not at all even when the process dies on the
    // way. Here: written to a name of its own beside path (path.new-<pid>),
    // synced, linked to path, the name of its own removed and the directory
    // synced. False with errno set of the step that failed: EEXIST when
    // path exists, which is left as it is. A process killed on the way may
    // leave the name of its own behind, never a part of the text at path.
    virtual bool placeDurably(const std::string& path, const std::string& text,
                              const FileModes& modes);
    // The same, but replacing what is at path: a reader finds the text
    // before or the new one, whole, never a part. Here: written to a name
    // of its own beside path (path.new-<pid>), synced, renamed over path
    // and the directory synced. False with errno set of the step that
    // failed; path is then as it was and the new name is removed again
    // (after a failed directory sync the new text is in place).
    virtual bool replaceDurably(const std::string& path, const std::string& text,
                                const FileModes& modes);
    // Reads a small regular file whole (at most maxSize bytes), without
    // blocking or following a link. False with errno set: EFBIG when it is
    // larger, EINVAL (with *status set when given) when it is not a
    // regular file.
    bool readSmallFile(const std::string& path, std::size_t maxSize, std::string* text,
                       EntryStatus* status = nullptr);
    // The entry is there (status without following a link succeeds).
    bool exists(const std::string& path);

private:
    bool writeWhole(const std::string& path, const std::string& text, const FileModes& modes);
};

// The directory part of path ("." for a bare name).
std::string parentDirectory(const std::string& path);

}  // namespace localplatform

#pragma GCC visibility pop
