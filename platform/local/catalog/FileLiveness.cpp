// Liveness of a SQLite store's jobs: a writer holds an exclusive flock on
// jobs/J.lock for as long as it writes; the kernel releases it when the
// process dies, so whoever takes the lock knows the writer is gone.

#include <cerrno>
#include <charconv>
#include <cstring>
#include <regex>

#include "platform/local/Config.h"
#include "platform/local/base/Format.h"
#include "platform/local/catalog/CatalogBackend.h"

namespace localplatform {

namespace {

class FileLock : public JobLock {
public:
    explicit FileLock(std::unique_ptr<StorageLock> lock) : m_lock(std::move(lock)) {}
    // A lock that closing its file alone releases cannot be lost.
    bool intact() override { return true; }

private:
    std::unique_ptr<StorageLock> m_lock;  // null: nobody held it, nothing to hold
};

class FileLiveness : public JobLiveness {
public:
    FileLiveness(std::shared_ptr<Storage> storage, const std::string& storeDir,
                 const FileModes& modes)
        : m_storage(std::move(storage)), m_jobs(storeDir + "/jobs"), m_modes(modes) {}

    std::unique_ptr<JobLock> holdForWriting(unsigned long long jobId) override {
        const std::string path = lockPath(jobId);
        std::unique_ptr<StorageLock> lock = m_storage->lock(path, true, m_modes);
        if (!lock) {
            const int error = errno;
            if (error == EWOULDBLOCK) return nullptr;
            const bool made = m_storage->exists(path);
            throw StoreError(StoreError::Kind::Failed,
                             systemError(made ? "cannot lock" : "cannot create", path, error));
        }
        return std::make_unique<FileLock>(std::move(lock));
    }

    std::unique_ptr<JobLock> probe(unsigned long long jobId) override {
        std::unique_ptr<StorageLock> lock = m_storage->lock(lockPath(jobId), false, m_modes);
        // Never begun with a lock, or a lock nobody holds: the writer is gone.
        if (!lock && errno == EWOULDBLOCK) return nullptr;
        return std::make_unique<FileLock>(std::move(lock));
    }

    std::unique_ptr<JobLock> holdForReading(unsigned long long jobId) override {
        const std::string path = lockPath(jobId);
        std::unique_ptr<StorageLock> lock = m_storage->lockShared(path, false, m_modes);
        if (!lock && errno == ENOENT) lock = m_storage->lockShared(path, true, m_modes);
        if (lock) return std::make_unique<FileLock>(std::move(lock));
        const int error = errno;
        if (error == EWOULDBLOCK) return nullptr;
        // Not ours to make: nothing to hold, and nobody who may only read
        // the store deletes from it.
        if (error == EACCES || error == EROFS || error == ENOENT) {
            return std::make_unique<FileLock>(nullptr);
        }
        throw StoreError(StoreError::Kind::Failed, systemError("cannot lock", path, error));
    }

    std::unique_ptr<JobLock> holdForDeleting(unsigned long long jobId) override {
        const std::string path = lockPath(jobId);
        std::unique_ptr<StorageLock> lock = m_storage->lock(path, true, m_modes);
        if (lock) return std::make_unique<FileLock>(std::move(lock));
        const int error = errno;
        if (error == EWOULDBLOCK) return nullptr;
        throw StoreError(StoreError::Kind::Failed, systemError("cannot lock", path, error));
    }

    std::vector<unsigned long long> liveJobs() override {
        std::vector<unsigned long long> live;
        std::vector<std::string> names;
        if (!m_storage->list(m_jobs, &names)) return live;
        static const std::regex lockName(R"(([0-9]{1,20})\.lock)");
        std::vector<unsigned long long> ids;
        for (const std::string& name : names) {
            std::smatch match;
            unsigned long long id = 0;
            if (!std::regex_match(name, match, lockName)) continue;
            const std::string digits = match[1].str();
            if (std::from_chars(digits.data(), digits.data() + digits.size(), id).ec ==
                std::errc()) {
                ids.push_back(id);
            }
        }
        for (const unsigned long long id : ids) {
            if (!probe(id)) live.push_back(id);
        }
        return live;
    }

private:
    std::string lockPath(unsigned long long jobId) const {
        return m_jobs + "/" + std::to_string(jobId) + ".lock";
    }

    const std::shared_ptr<Storage> m_storage;
    const std::string m_jobs;
    const FileModes m_modes;
};

}  // namespace

std::unique_ptr<JobLiveness> openFileLiveness(const CatalogPlace& place) {
    return std::make_unique<FileLiveness>(place.storage, place.storeDir, place.modes);
}

}  // namespace localplatform
