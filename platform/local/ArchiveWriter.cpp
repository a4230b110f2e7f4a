// Backup archive files: their creation, writing and closing, the streams that
// writeStream reaches, and the writer lock that tells live writers from dead.

#include "platform/local/ArchiveWriter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

#include "platform/local/LocalState.h"

namespace localplatform {

namespace {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Creates the data file of a record that the caller's transaction has just
// added, and locks it. A file already at that path can only be left by a
// creation whose transaction rolled back (the id was handed out again), so
// it is replaced.
int createLocked(const std::string& path) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0 && errno == EEXIST && ::unlink(path.c_str()) == 0) {
        fd = ::open(path.c_str(), flags, 0644);
    }
    if (fd < 0) throw std::runtime_error(systemError("cannot create", path));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const std::string message = systemError("cannot lock", path);
        ::close(fd);
        ::unlink(path.c_str());
        throw std::runtime_error(message);
    }
    return fd;
}

bool syncDirectory(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// The process's backup streams: which writer each (job, stream) reaches and
// how many stream numbers each job has handed out.
struct Streams {
    std::mutex mutex;
    std::map<std::pair<unsigned long long, unsigned long>, std::shared_ptr<ArchiveWriter>> writers;
    std::map<unsigned long long, unsigned long> numbered;
};

Streams& streams() {
    static Streams instance;
    return instance;
}

}  // namespace

std::shared_ptr<ArchiveWriter> ArchiveWriter::create(const std::string& storeDir,
                                                     const NewArchiveFile& file) {
    Catalog catalog(storeDir);
    Catalog::Transaction transaction(catalog);
    ArchiveFileRecord record = catalog.insertWriting(file);
    const int fd = createLocked(record.path);
    try {
        transaction.commit();
    } catch (...) {
        // The file stays: the transaction is over, so the path may already
        // belong to the next creator. Whoever gets this id again replaces it.
        ::close(fd);
        throw;
    }
    return std::shared_ptr<ArchiveWriter>(new ArchiveWriter(fd, storeDir, std::move(record)));
}

ArchiveWriter::ArchiveWriter(int fd, std::string storeDir, ArchiveFileRecord record)
    : m_storeDir(std::move(storeDir)), m_record(std::move(record)), m_fd(fd) {}

ArchiveWriter::~ArchiveWriter() { release(); }

bool ArchiveWriter::write(const void* data, std::size_t length, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) {
        if (error) *error = "archive file " + m_record.path + " is closed";
        return false;
    }
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t count = ::write(m_fd, bytes + done, length - done);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            if (error) *error = systemError("cannot write", m_record.path);
            return false;
        }
        done += static_cast<std::size_t>(count);
        m_written += static_cast<unsigned long long>(count);
    }
    return true;
}

unsigned long long ArchiveWriter::written() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

bool ArchiveWriter::close(std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto failed = [error](std::string message) {
        if (error) *error = std::move(message);
        return false;
    };
    if (m_fd < 0) return failed("archive file " + m_record.path + " is already closed");
    if (::fsync(m_fd) != 0) return failed(systemError("cannot sync", m_record.path));
    Catalog catalog(m_storeDir);
    if (!syncDirectory(catalog.filesDirectory())) {
        return failed(systemError("cannot sync", catalog.filesDirectory()));
    }
    struct stat status {};
    if (::fstat(m_fd, &status) != 0) return failed(systemError("cannot stat", m_record.path));
    if (!catalog.markClosed(m_record.afileId, static_cast<unsigned long long>(status.st_size))) {
        return failed("archive file " + m_record.path +
                      " is no longer being written in the catalog (invalidated or removed)");
    }
    ::close(m_fd);
    m_fd = -1;
    return true;
}

void ArchiveWriter::release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

unsigned long takeStreamNumber(unsigned long long jobId) {
    Streams& all = streams();
    std::lock_guard<std::mutex> lock(all.mutex);
    return ++all.numbered[jobId];
}

void returnStreamNumber(unsigned long long jobId, unsigned long stream) {
    Streams& all = streams();
    std::lock_guard<std::mutex> lock(all.mutex);
    unsigned long& last = all.numbered[jobId];
    if (last == stream) --last;
}

void registerStream(unsigned long long jobId, unsigned long stream,
                    std::shared_ptr<ArchiveWriter> writer) {
    Streams& all = streams();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.writers[{jobId, stream}] = std::move(writer);
}

void unregisterStream(unsigned long long jobId, unsigned long stream, const ArchiveWriter* writer) {
    Streams& all = streams();
    std::lock_guard<std::mutex> lock(all.mutex);
    const auto it = all.writers.find({jobId, stream});
    if (it != all.writers.end() && it->second.get() == writer) all.writers.erase(it);
}

// The writer is looked up under the registry's lock and written to under its
// own, so that streams write in parallel and a writer being destroyed
// meanwhile only makes the write fail.
bool writeStream(unsigned long long jobId, unsigned long stream, const void* data,
                 std::size_t length, std::string* error) {
    std::shared_ptr<ArchiveWriter> writer;
    {
        Streams& all = streams();
        std::lock_guard<std::mutex> lock(all.mutex);
        const auto it = all.writers.find({jobId, stream});
        if (it != all.writers.end()) writer = it->second;
    }
    if (!writer) {
        if (error) {
            *error = formatText("no archive file is open for writing for job %llu stream %lu",
                                jobId, stream);
        }
        return false;
    }
    if (!data && length != 0) {
        if (error) *error = "no data to write";
        return false;
    }
    return writer->write(data, length, error);
}

WriterLockProbe::WriterLockProbe(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        m_exists = errno != ENOENT;
        return;
    }
    m_exists = true;
    struct stat status {};
    if (::fstat(fd, &status) == 0) m_size = static_cast<unsigned long long>(status.st_size);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return;
    }
    m_fd = fd;
}

WriterLockProbe::~WriterLockProbe() {
    if (m_fd >= 0) ::close(m_fd);
}

}  // namespace localplatform
