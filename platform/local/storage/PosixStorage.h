#pragma once

// The store's bytes on the local file system, by POSIX calls. Internal to
// the local library.

#include <mutex>
#include <utility>

#include "platform/local/storage/Storage.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class PosixStorage final : public Storage {
public:
    PosixStorage() = default;
    // Closes the confined roots' descriptors.
    ~PosixStorage() override;
    PosixStorage(const PosixStorage&) = delete;
    PosixStorage& operator=(const PosixStorage&) = delete;

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
    StorageCapabilities capabilities() const override { return kCapabilities; }

    // What every PosixStorage can do, known before one is made: all of it,
    // but for pending writes, which it has none of.
    static constexpr StorageCapabilities kCapabilities{};

private:
    class Located;
    // Reaches path (see Located): false with errno set when a directory on
    // the way below a root cannot be opened as one without following a link,
    // or the path names "." or "..".
    bool locate(const std::string& path, Located* place) const;

    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, int>> m_roots;  // confined root, its descriptor
};

// Gives what fd refers to exactly the store's mode for its kind, whatever
// the umask made of it, and the store's group where it has one. False with
// errno set on failure. For the SQLite catalog, which opens its own file.
bool applyFileModes(int fd, bool directory, const FileModes& modes);

}  // namespace localplatform

#pragma GCC visibility pop
