#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/local/LocalPlatform.h"

struct sqlite3;

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// What the catalog keeps about a new archive file besides its identity.
struct NewArchiveFile {
    unsigned long long jobId = 0;
    unsigned long stream = 0;
    uint64_t typeCode = 0;
    uint64_t dataType = 0;
    std::string setupText;
    std::string createText;
};

// One connection to the catalog of a store, <store>/catalog.db, made for one
// operation: connections are cheap, and one per operation is safe across
// threads and processes. Opening creates the store, its files/ directory and
// the tables as needed. Every method throws std::runtime_error when the
// database fails. Records come back with the catalog's size; writerAlive is
// left false.
class Catalog {
public:
    explicit Catalog(const std::string& storeDir);
    ~Catalog();

    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;

    // A write transaction, begun at once (BEGIN IMMEDIATE) so that what it
    // reads stays true until it commits. Rolled back unless committed.
    class Transaction {
    public:
        explicit Transaction(Catalog& catalog);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        Catalog& m_catalog;
        bool m_open;
    };

    // Where the store keeps its archive files.
    const std::string& filesDirectory() const { return m_filesDir; }

    // Adds a "writing" archive file of the store's Trellan id whose group
    // number is its stream, with the next archive file id, and returns it.
    // Call it inside a Transaction.
    ArchiveFileRecord insertWriting(const NewArchiveFile& file);
    // Marks a "writing" file closed with its final size. False when the file
    // is not "writing" (invalidated or gone), which leaves it alone.
    bool markClosed(uint32_t afileId, unsigned long long size);
    // Marks the job's file invalidated, whatever its state. False when the
    // job has no such file.
    bool invalidate(unsigned long long jobId, uint64_t trellanId, int64_t afileId);
    // Removes the file's record.
    void remove(uint32_t afileId);

    std::optional<ArchiveFileRecord> find(uint32_t trellanId, uint32_t groupNumber,
                                          uint32_t afileId);
    // The file most recently created for the job's stream.
    std::optional<ArchiveFileRecord> findLatest(unsigned long long jobId, unsigned long stream);
    // Every file, oldest first.
    std::vector<ArchiveFileRecord> list();

private:
    void execute(const char* sql);
    void useWriteAheadLog();
    void createSchema();
    // The store's Trellan id, chosen at random the first time it is asked.
    uint32_t trellanId();
    std::string m_path;
    std::string m_filesDir;
    sqlite3* m_db = nullptr;
};

}  // namespace localplatform

#pragma GCC visibility pop
