#include "inputs/SqliteWalImage.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "inputs/SqliteSnapshot.h"

namespace {

// Between two attempts at a lock a writer holds.
constexpr int kBusyPauseMs = 2;

}  // namespace

SqliteWalImage::SqliteWalImage(const std::string& source) : m_source(source) {
    m_databaseFd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_databaseFd < 0) throw jobFailed("cannot read " + source + ": " + std::strerror(errno));
}

SqliteWalImage::~SqliteWalImage() { end(); }

void SqliteWalImage::end() {
    if (m_db) {
        sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    if (m_walFd >= 0) ::close(m_walFd);
    if (m_databaseFd >= 0) ::close(m_databaseFd);
    m_walFd = m_databaseFd = -1;
}

std::unique_ptr<SqliteWalImage> SqliteWalImage::take(const std::string& source,
                                                     std::chrono::milliseconds busyWait,
                                                     uint64_t maxHeld, std::string& whyNot) {
    whyNot.clear();
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<SqliteWalImage> image(new SqliteWalImage(source));
    if (!image->begin(busyWait)) return nullptr;
    if (::fstat(image->m_databaseFd, &image->m_status) != 0) {
        throw jobFailed("cannot read " + source + ": " + std::strerror(errno));
    }
    const std::string wal = source + "-wal";
    image->m_walFd = ::open(wal.c_str(), O_RDONLY | O_CLOEXEC);
    if (image->m_walFd < 0 && errno != ENOENT) {
        throw jobFailed("cannot read " + wal + ": " + std::strerror(errno));
    }
    if (image->m_walFd >= 0) {
        std::optional<WalPages> pages = readWalPages(image->m_walFd, wal, maxHeld);
        if (!pages) {
            whyNot = "its -wal holds more than " + std::to_string(maxHeld >> 20) +
                     " MiB of pages, more than a backup holds in memory";
            return nullptr;
        }
        image->m_wal = std::move(*pages);
    }
    image->m_size = image->m_wal.databasePages != 0
                        ? image->m_wal.databasePages * image->m_wal.pageSize
                        : static_cast<uint64_t>(image->m_status.st_size);
    image->m_took = std::chrono::steady_clock::now() - start;
    return image;
}

bool SqliteWalImage::begin(std::chrono::milliseconds busyWait) {
    if (sqlite3_open_v2(m_source.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        throw jobFailed(m_db ? sqlite3_errmsg(m_db) : "out of memory");
    }
    if (sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw jobFailed(sqlite3_errmsg(m_db));
    }
    // The transaction takes its snapshot at its first read.
    const auto firstTry = std::chrono::steady_clock::now();
    int rc;
    for (;;) {
        rc = sqlite3_exec(m_db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
        if (std::chrono::steady_clock::now() - firstTry >= busyWait || interruptSignal() != 0) {
            break;
        }
        sqlite3_sleep(kBusyPauseMs);
    }
    throwIfInterrupted();
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) throw jobFailed(lockHeldTooLong(busyWait));
    if (rc != SQLITE_OK) throw jobFailed(sqlite3_errmsg(m_db));
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, "PRAGMA journal_mode", -1, &statement, nullptr) != SQLITE_OK) {
        throw jobFailed(sqlite3_errmsg(m_db));
    }
    const bool wal = sqlite3_step(statement) == SQLITE_ROW &&
                     sqlite3_stricmp(reinterpret_cast<const char*>(
                                         sqlite3_column_text(statement, 0)),
                                     "wal") == 0;
    sqlite3_finalize(statement);
    return wal;
}

void SqliteWalImage::readAt(char* data, std::size_t length, uint64_t offset) const {
    std::size_t got = 0;
    while (got < length) {
        const ssize_t read = ::pread(m_databaseFd, data + got, length - got,
                                     static_cast<off_t>(offset + got));
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) throw jobFailed("cannot read input " + m_source + ": " + std::strerror(errno));
        if (read == 0) break;
        got += static_cast<std::size_t>(read);
    }
    std::memset(data + got, 0, length - got);
    const uint64_t pageSize = m_wal.pageSize;
    const uint64_t end = offset + length;
    if (pageSize != 0) {
        for (auto page = m_wal.pages.lower_bound(offset / pageSize + 1);
             page != m_wal.pages.end() && (page->first - 1) * pageSize < end; ++page) {
            const uint64_t pageStart = (page->first - 1) * pageSize;
            const uint64_t from = std::max(pageStart, offset);
            const uint64_t to = std::min(pageStart + pageSize, end);
            std::memcpy(data + (from - offset), page->second.data() + (from - pageStart),
                        to - from);
        }
    }
    // Past the file's end, every page must be the -wal's.
    for (uint64_t at = offset + got; at < end;) {
        const uint64_t number = pageSize != 0 ? at / pageSize + 1 : 0;
        if (pageSize == 0 || m_wal.pages.count(number) == 0) {
            throw jobFailed("cannot read input " + m_source + ": it ends at byte " +
                            std::to_string(offset + got) +
                            ", before a page of its committed state that its -wal does not "
                            "hold; nothing was backed up");
        }
        at = number * pageSize;
    }
}
