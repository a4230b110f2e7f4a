#include "inputs/SqliteSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "platform/local/StoreSession.h"

namespace {

constexpr char kSqliteHeader[kSqliteHeaderSize] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                                   'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
// Between two attempts at a lock a writer holds.
constexpr int kBusyPauseMs = 2;

bool isSnapshotName(const char* name) {
    static const std::regex pattern("[0-9]+-[0-9]+\\.sqlite");
    return std::regex_match(name, pattern);
}

// A connection closed whatever happens.
struct Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close(db); }
    std::string error() const { return db ? sqlite3_errmsg(db) : "out of memory"; }
};

}  // namespace

bool isSqliteHeader(const char* bytes, std::size_t length) {
    return length >= kSqliteHeaderSize && std::memcmp(bytes, kSqliteHeader, kSqliteHeaderSize) == 0;
}

bool isSqliteWalHeader(const char* bytes, std::size_t length) {
    return length >= kSqliteJournalHeaderSize && isSqliteHeader(bytes, length) &&
           bytes[18] == 2 && bytes[19] == 2;
}

std::string lockHeldTooLong(std::chrono::milliseconds busyWait) {
    const long long ms = static_cast<long long>(busyWait.count());
    return "a writer held its lock for longer than " +
           (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms");
}

std::string snapshotFailure(const std::string& source, const std::string& why) {
    return "cannot take a consistent snapshot of the SQLite database " + source + ": " + why +
           "; nothing was backed up";
}

SqliteSnapshot::SqliteSnapshot(const std::string& source, const std::string& directory,
                               unsigned long long jobId, unsigned long number,
                               std::chrono::milliseconds busyWait)
    : m_path(directory + "/" + std::to_string(jobId) + "-" + std::to_string(number) + ".sqlite") {
    const auto failed = [&](const std::string& why) {
        return jobFailed(snapshotFailure(source, why));
    };
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw failed("cannot make " + directory + ": " + std::strerror(errno));
    }
    struct stat place;
    if (::lstat(directory.c_str(), &place) != 0 || !S_ISDIR(place.st_mode)) {
        throw failed(directory + " is not a directory");
    }
    m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0) throw failed("cannot create " + m_path + ": " + std::strerror(errno));
    // Locked before anything is written, and still the file that the name
    // names once locked (a cleanup between the two would have removed it).
    struct stat mine;
    struct stat named;
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 || ::fchmod(m_fd, 0600) != 0 ||
        ::fstat(m_fd, &mine) != 0 || ::stat(m_path.c_str(), &named) != 0 ||
        mine.st_ino != named.st_ino || mine.st_dev != named.st_dev) {
        ::close(m_fd);
        m_fd = -1;
        throw failed("cannot hold " + m_path + " (a cleanup removed it?)");
    }
    try {
        copy(source, busyWait);
    } catch (const AgentError& error) {
        discard();
        if (error.kind() == AgentError::Kind::Interrupted) throw;
        throw failed(error.what());
    } catch (...) {
        discard();
        throw;
    }
}

SqliteSnapshot::~SqliteSnapshot() { discard(); }

void SqliteSnapshot::discard() {
    if (m_fd < 0) return;
    ::unlink(m_path.c_str());
    ::unlink((m_path + "-journal").c_str());
    ::close(m_fd);
    m_fd = -1;
}

void SqliteSnapshot::copy(const std::string& source, std::chrono::milliseconds busyWait) {
    Connection from;
    if (sqlite3_open_v2(source.c_str(), &from.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        throw jobFailed(from.error());
    }
    Connection to;
    if (sqlite3_open_v2(m_path.c_str(), &to.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
        throw jobFailed(to.error());
    }
    // The copy is private and thrown away on any failure: it needs no
    // journal and no syncs.
    if (sqlite3_exec(to.db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
        throw jobFailed(to.error());
    }
    sqlite3_backup* backup = sqlite3_backup_init(to.db, "main", from.db, "main");
    if (!backup) throw jobFailed(to.error());
    const auto firstTry = std::chrono::steady_clock::now();
    int rc;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        // -1: every page in this one call, under one read transaction.
        rc = sqlite3_backup_step(backup, -1);
        m_held = std::chrono::steady_clock::now() - start;
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
        if (std::chrono::steady_clock::now() - firstTry >= busyWait || interruptSignal() != 0) {
            break;
        }
        sqlite3_sleep(kBusyPauseMs);
    }
    const int finished = sqlite3_backup_finish(backup);
    throwIfInterrupted();
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) throw jobFailed(lockHeldTooLong(busyWait));
    if (rc != SQLITE_DONE) throw jobFailed(sqlite3_errstr(rc));
    if (finished != SQLITE_OK) throw jobFailed(to.error());
    struct stat made;
    if (::fstat(m_fd, &made) != 0) throw jobFailed(std::strerror(errno));
    m_bytes = static_cast<uint64_t>(made.st_size);
}

std::string snapshotDirectory() { return localplatform::storeHostDirectory() + "/tmp"; }

std::vector<std::string> sweepSnapshots(const std::string& directory) {
    std::vector<std::string> removed;
    // The directory is the store's: a link in its place is not followed, and
    // each snapshot is reached and removed from it by name alone.
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) return removed;
    DIR* listing = ::fdopendir(::dup(dirFd));
    if (!listing) {
        ::close(dirFd);
        return removed;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        if (isSnapshotName(entry->d_name)) names.push_back(entry->d_name);
    }
    ::closedir(listing);
    for (const std::string& name : names) {
        const int fd =
            ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat status;
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlinkat(dirFd, name.c_str(), 0) == 0) {
            removed.push_back(name);
        }
        ::close(fd);
    }
    ::close(dirFd);
    return removed;
}
