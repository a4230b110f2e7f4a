#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "inputs/FileIdentity.h"

class SqliteWalImage;

// A file to back up, with its size and permission bits as they were when it
// was first opened, and its identity (FileIdentity) then, to tell afterwards
// whether it changed while it was read. It holds a descriptor only between
// open() and release(), so that a set of any number of files needs one at a
// time. readAt and requireUnchanged may be called from any thread.
class InputFile {
public:
    // Opens path (following a link, as named), takes its identity, looks at
    // its first bytes and closes it again. Throws AgentError (bad input) when
    // the file cannot be opened, is not a regular file, or holds more bytes
    // than its size says (procfs and sysfs files, which stat as 0 bytes):
    // such a file would be backed up cut short.
    explicit InputFile(const std::string& path);
    // A file found in a tree: not opened until open(), when its turn comes;
    // walked is what lstat said of it when the tree was walked, and is its
    // identity from then on.
    InputFile(const std::string& path, const struct stat& walked);
    // The committed state of the SQLite database at path that image holds
    // (borrowed: it must outlive this object): its bytes are image's, its
    // identity the database file's when image was taken but for its size,
    // the state's. Nothing is opened; the held transaction stands for the
    // check that it did not change.
    InputFile(const std::string& path, const SqliteWalImage& image);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Reads it as a file of a live database cluster, which changes while it
    // is read and whose changes the database's log mends on restore: no
    // change fails it; it is read as its size was when it was walked, bytes
    // past its end (it shrank, or was removed) read as zeros. observer, when
    // given, sees each read's bytes and offset, on the reading thread, in
    // the order they were read; it throws to fail the job. Called before
    // open().
    using ReadObserver = std::function<void(const char* data, std::size_t length, uint64_t offset)>;
    void readLive(ReadObserver observer);
    // Whether it is read live (readLive).
    bool readsLive() const { return m_live; }

    const std::string& path() const { return m_path; }
    uint64_t size() const { return m_identity.size; }
    // Which file it was, and its times, when first opened (or walked).
    const FileIdentity& identity() const { return m_identity; }
    int mode() const { return m_mode; }
    // Whether it starts with SQLite's 16-byte header (never for a file of
    // a tree).
    bool sqliteDatabase() const { return m_sqlite; }
    // Whether that database's header says it is in WAL mode.
    bool sqliteWalMode() const { return m_sqliteWal; }
    // Its modification time, in ns since the epoch.
    int64_t mtime() const {
        return m_identity.modifiedSeconds * 1000000000LL + m_identity.modifiedNanoseconds;
    }

    // Opens it for reading, unless open (a file of a tree never through a
    // link). Throws AgentError (failed job) when it cannot be opened, or is
    // no longer what was found before (another file, another size or times:
    // "PATH changed while it was read (...)"), or holds more bytes than its
    // size says.
    void open() const;
    // Closes it, once read and checked.
    void release() const;

    // Reads exactly length bytes at offset. Throws AgentError (failed job)
    // when it cannot; a file that shrank is reported as a change (see
    // requireUnchanged).
    void readAt(char* data, std::size_t length, uint64_t offset) const;
    // As readAt, unseen by the observer of a file read live: for a pass that
    // only looks at the bytes, before the pass whose bytes are stored.
    void readQuietly(char* data, std::size_t length, uint64_t offset) const;

    // To be called once its last byte was read: throws AgentError (failed
    // job), "PATH changed while it was read (what changed); nothing was backed
    // up", when the open file's identity differs from the one taken when it
    // was opened, or the path no longer names that file.
    void requireUnchanged() const;

private:
    void readBytes(char* data, std::size_t length, uint64_t offset, bool observed) const;

    std::string m_path;
    mutable int m_fd = -1;  // a file of a tree: open only while it is read
    int m_mode = 0;
    bool m_deferred = false;
    bool m_followsLink = false;  // named on the command line, perhaps by a link
    bool m_sqlite = false;
    bool m_sqliteWal = false;
    bool m_live = false;
    mutable bool m_vanished = false;  // live: removed before it was opened
    const SqliteWalImage* m_image = nullptr;
    ReadObserver m_observer;
    FileIdentity m_identity;
};
