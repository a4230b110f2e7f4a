// Liveness of a SQLite store's jobs: a writer holds an exclusive flock on
// jobs/J.lock for as long as it writes; the kernel releases it when the
// process dies, so whoever takes the lock knows the writer is gone.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <regex>

#include "platform/local/CatalogBackend.h"
#include "platform/local/Durable.h"

namespace localplatform {

namespace {

class FileLock : public JobLock {
public:
    explicit FileLock(int fd) : m_fd(fd) {}
    ~FileLock() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // A lock that closing its descriptor alone releases cannot be lost.
    bool intact() override { return true; }

private:
    int m_fd;
};

class FileLiveness : public JobLiveness {
public:
    FileLiveness(const std::string& storeDir, const FileModes& modes)
        : m_jobs(storeDir + "/jobs"), m_modes(modes) {}

    std::unique_ptr<JobLock> holdForWriting(unsigned long long jobId) override {
        const std::string path = lockPath(jobId);
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, m_modes.file);
        if (fd < 0) throw StoreError(StoreError::Kind::Failed, systemError("cannot create", path));
        applyFileModes(fd, false, m_modes);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const bool busy = errno == EWOULDBLOCK;
            const std::string message = systemError("cannot lock", path);
            ::close(fd);
            if (busy) return nullptr;
            throw StoreError(StoreError::Kind::Failed, message);
        }
        return std::make_unique<FileLock>(fd);
    }

    std::unique_ptr<JobLock> probe(unsigned long long jobId) override {
        const int fd =
            ::open(lockPath(jobId).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return std::make_unique<FileLock>(-1);  // never begun with a lock: nobody holds it
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const bool alive = errno == EWOULDBLOCK;
            ::close(fd);
            return alive ? nullptr : std::make_unique<FileLock>(-1);
        }
        return std::make_unique<FileLock>(fd);
    }

    std::vector<unsigned long long> liveJobs() override {
        std::vector<unsigned long long> live;
        DIR* listing = ::opendir(m_jobs.c_str());
        if (!listing) return live;
        static const std::regex lockName(R"(([0-9]{1,20})\.lock)");
        std::vector<unsigned long long> ids;
        while (const dirent* entry = ::readdir(listing)) {
            std::cmatch match;
            unsigned long long id = 0;
            if (std::regex_match(entry->d_name, match, lockName) &&
                std::from_chars(match[1].first, match[1].second, id).ec == std::errc()) {
                ids.push_back(id);
            }
        }
        ::closedir(listing);
        for (const unsigned long long id : ids) {
            if (!probe(id)) live.push_back(id);
        }
        return live;
    }

private:
    std::string lockPath(unsigned long long jobId) const {
        return m_jobs + "/" + std::to_string(jobId) + ".lock";
    }

    const std::string m_jobs;
    const FileModes m_modes;
};

}  // namespace

std::unique_ptr<JobLiveness> openFileLiveness(const CatalogPlace& place) {
    return std::make_unique<FileLiveness>(place.storeDir, place.modes);
}

}  // namespace localplatform
