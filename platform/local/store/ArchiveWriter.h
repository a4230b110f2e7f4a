#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/catalog/CatalogBackend.h"
#include "platform/local/storage/Storage.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store;

// The archive file that one backup stream writes: files/N.arch holds its
// data and nothing else, files/N.meta its description. Safe to use from
// several threads.
class ArchiveWriter {
public:
    // Creates the data file and its description exclusively, with the first
    // archive file id above the catalog's that no file in files/ has yet,
    // then enters the file as "writing", all in one catalog write
    // transaction. Throws StoreError, leaving no entry and no file behind
    // (unless the process dies halfway: cleanup removes what that leaves).
    static std::shared_ptr<ArchiveWriter> create(const std::shared_ptr<Store>& store,
                                                 const NewArchiveFile& file);
    ~ArchiveWriter();

    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // The catalog record as it was created, with the full path.
    const ArchiveFileRecord& record() const { return m_record; }

    // Appends all length bytes. False, with *error set, when the file is no
    // longer open or the write fails; the bytes that made it are counted.
    bool write(const void* data, std::size_t length, std::string* error);
    // Bytes written so far.
    unsigned long long written() const;
    // Makes the data durable, appends the closing line (size, SHA-256) to the
    // description and makes it durable, then marks the file closed in the
    // catalog and closes it. False, with *error set, when a step fails or
    // the file is no longer "writing" in the catalog; the file then stays
    // open. Once the data or the description failed to be written or
    // synced, every later close fails too.
    bool close(std::string* error);
    // Closes the files and leaves the catalog alone.
    void release();

private:
    ArchiveWriter(std::shared_ptr<Store> store, ArchiveFileRecord record,
                  std::unique_ptr<StorageFile> data, std::unique_ptr<StorageFile> sidecar);

    const std::shared_ptr<Store> m_store;
    const ArchiveFileRecord m_record;
    mutable std::mutex m_mutex;
    std::unique_ptr<StorageFile> m_data;  // null once closed or released
    std::unique_ptr<StorageFile> m_sidecar;
    unsigned long long m_written = 0;
    bool m_failed = false;  // a write failed: the data is not what was given
    bool m_sidecarLost = false;  // the closing line's write or sync failed
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_digest;
    std::string m_sha256;  // once the digest is final
};

}  // namespace localplatform

#pragma GCC visibility pop
