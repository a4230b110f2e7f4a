#pragma once

// A store's bytes as objects of one bucket of an S3-compatible object store,
// under a key prefix: the store "s3://bucket/prefix" has its files/1.arch at
// the key "prefix/files/1.arch". Internal to the local library.
//
// - Small files (store.ini, descriptions, completion markers, manifests) are
//   kept in memory while written and stored whole by one PUT at each sync,
//   replacing the object: a reader sees the old text or the new one, never
//   a part. Their exclusive creation is a HEAD that finds nothing, then a
//   PUT with If-None-Match: *; where the server ignores that header, two
//   creators racing between the HEAD and the PUT both win (best effort).
// - Archive data (files/N.arch) is one multipart upload per file, begun
//   with the first full part; parts are sent as the writer appends, their
//   size growing with the object so that the part limit is never reached.
//   finish() sends the last part, completes the upload and checks the
//   object's size with a HEAD; any failure aborts the upload. Until then
//   the object does not exist (a reader gets ENOENT).
// - Directories are implicit: a path is a directory when keys lie below it
//   or this storage made it. Locks are not kept here (a store in object
//   storage has its catalog, and its job locks, in PostgreSQL): lock() and
//   lockShared() fail with ENOTSUP. rename, truncate likewise.
// - Errors come back as the Storage contract says (errno: ENOENT, EEXIST,
//   EIO for a request that failed); the one-line reason of a failed request
//   (operation, object, last HTTP status) goes to the report function.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/local/objectstore/S3Client.h"
#include "platform/local/storage/Storage.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// Where a store in object storage is and how its objects are written, from
// its URL "s3://bucket[/prefix][?name=value&...]" and the environment.
struct ObjectStoreSettings {
    std::string bucket;
    std::string prefix;  // "" or "some/prefix/"
    objectstore::S3Options s3;
    objectstore::Credentials credentials;
    // The first parts' size; later parts grow (see partSizeFor). Servers
    // refuse parts under 5 MiB but the last (AWS; Swift by default): a
    // smaller part_size is for tests against a server that takes them.
    std::size_t partSize = 8u << 20;
    // The most parts an upload may have: 10,000 for AWS, 1,000 for Swift.
    int partLimit = 10000;
    // A reader asks for this many bytes at once and serves what follows
    // from them, with up to two such ranges fetched ahead while it reads in
    // order. A 1 GiB restore over 4 streams from a local Swift took 13.1 s
    // at 1 MiB (peak RSS 68 MiB), 9.9 s at 2 MiB (94 MiB) and 7.5 s at 4 MiB
    // (155 MiB; 241 MiB over 16 streams), where `aws s3 cp` took 9.8 s:
    // each request costs the server more than its bytes.
    std::size_t readAhead = 4u << 20;

    // The store's path: "s3://bucket" or "s3://bucket/prefix" (no slash at
    // the end). Every path the storage takes lies below it.
    std::string root() const;
};

// Parses url and fills what it leaves open from the environment (env: null
// for the process's): the endpoint ($AWS_ENDPOINT_URL), region, addressing
// and credentials ($AWS_ACCESS_KEY_ID..., else ~/.aws/credentials with
// $AWS_PROFILE). Options after '?': endpoint=, region=, path_style=0|1,
// part_limit=N, part_size=N[KiB|MiB], read_ahead=N[KiB|MiB]. False with
// *why set to one line for a malformed URL, an unknown option or missing
// credentials; never a secret in it.
bool parseObjectStoreUrl(const std::string& url, ObjectStoreSettings* settings, std::string* why,
                         const objectstore::EnvLookup& env = nullptr);

// The size of part number `part` (from 1) of an upload: partSize for the
// first tenth of the limit, then twice that for the next tenth, and so on,
// capped at 5 GiB. So a stream of unknown length fits the limit up to about
// 102 × limit × partSize / 100 bytes (8 MiB and 10,000 parts: 8 TiB; 1,000
// parts: 800 GiB).
std::size_t partSizeFor(const ObjectStoreSettings& settings, int part);

// A client made for one request stream; tests put a scripted server behind
// it. The default makes an S3Client over libcurl.
using ObjectClientFactory = std::function<std::unique_ptr<objectstore::S3Client>()>;

class ObjectStorage : public Storage {
public:
    // report: takes the one-line reason of every failed request (default:
    // none). factory: as above (null: libcurl).
    ObjectStorage(ObjectStoreSettings settings, std::function<void(const std::string&)> report,
                  ObjectClientFactory factory = nullptr);
    ~ObjectStorage() override;

    std::unique_ptr<StorageFile> createExclusive(const std::string& path,
                                                 const FileModes& modes) override;
    std::unique_ptr<StorageFile> openForReading(const std::string& path,
                                                EntryStatus* status) override;
    bool status(const std::string& path, EntryStatus* status, bool follow = false) override;
    bool rename(const std::string& from, const std::string& to) override;
    // An exclusive copy: to is created holding from's bytes, in one PUT, so
    // that no reader ever finds it empty or part-written (store.ini is
    // placed so while other agents may read it); from stays. EEXIST when to
    // exists.
    bool link(const std::string& from, const std::string& to) override;
    // One PUT of the whole text: the object is replaced in one step.
    bool replaceDurably(const std::string& path, const std::string& text,
                        const FileModes& modes) override;
    // One PUT of the whole text, only if the object is absent (putNew).
    bool placeDurably(const std::string& path, const std::string& text,
                      const FileModes& modes) override;
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
    std::vector<PendingWrite> pendingWrites(const std::string& directory) override;
    bool abandonPendingWrite(const PendingWrite& write) override;
    bool showsUnfinishedFiles() const override { return false; }
    StorageCapabilities capabilities() const override { return kCapabilities; }

    // What every ObjectStorage can do, known before one is made (see the
    // top of this file).
    static constexpr StorageCapabilities kCapabilities{.rename = false,
                                                       .hardLinks = false,
                                                       .locks = false,
                                                       .appending = false,
                                                       .truncation = false,
                                                       .directories = false,
                                                       .pendingWrites = true,
                                                       .hostFolder = false};

    const ObjectStoreSettings& settings() const { return m_settings; }

    // A client for one thread's requests, from the pool (or made); back to
    // the pool when the handle goes.
    class Lease;
    Lease lease();
    void reportFailure(const std::string& line) const;
    // The key of a path below the root; false (errno EINVAL) for one that
    // is not.
    bool keyOf(const std::string& path, std::string* key) const;

private:
    friend class Lease;
    void giveBack(std::unique_ptr<objectstore::S3Client> client);
    // True when the server has no object key; else false with errno EEXIST,
    // or EIO (reported) when it cannot tell.
    bool absent(Lease& client, const std::string& key);
    // Makes the object key, absent until now, holding text in one PUT: with
    // If-None-Match where the server takes it, else after a HEAD that found
    // nothing (all the exclusion a server without it allows). False with
    // errno EEXIST when key exists, EIO (reported) when the server fails.
    bool putNew(const std::string& key, const std::string& text);
    // The key of path, a small file's: false with errno set for a path
    // outside the store, EINVAL for archive data (written by its upload
    // alone).
    bool smallFileKey(const std::string& path, std::string* key);

    const ObjectStoreSettings m_settings;
    const std::function<void(const std::string&)> m_report;
    const ObjectClientFactory m_factory;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<objectstore::S3Client>> m_idle;
    std::set<std::string> m_madeDirectories;  // keys, without the slash
    // False once the server answered If-None-Match with NotImplemented.
    std::atomic<bool> m_conditionalPut{true};
};

class ObjectStorage::Lease {
public:
    Lease(ObjectStorage& owner, std::unique_ptr<objectstore::S3Client> client)
        : m_owner(&owner), m_client(std::move(client)) {}
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
        if (m_client) m_owner->giveBack(std::move(m_client));
    }
    objectstore::S3Client* operator->() const { return m_client.get(); }

private:
    ObjectStorage* m_owner;
    std::unique_ptr<objectstore::S3Client> m_client;
};

}  // namespace localplatform

#pragma GCC visibility pop
