// Backup archive files: their exclusive creation, writing and closing.

#include "platform/local/ArchiveWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/local/Durable.h"
#include "platform/local/LocalState.h"
#include "platform/local/Sidecar.h"
#include "platform/local/Store.h"

namespace localplatform {

namespace {

// Ids tried past the catalog's before giving up: each one tried is a file
// that already exists in files/.
constexpr uint64_t kMaxSkipped = 1000000;

[[noreturn]] void failed(const std::string& what) {
    throw StoreError(StoreError::Kind::Failed, what);
}

}  // namespace

std::shared_ptr<ArchiveWriter> ArchiveWriter::create(const std::shared_ptr<Store>& store,
                                                     const NewArchiveFile& file) {
    store->requireWritable("createArchiveFile");
    auto catalog = store->catalog();
    CatalogTransaction transaction(*catalog);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    uint64_t id = catalog->nextArchiveFileId();
    int fd = -1, sidecarFd = -1;
    for (const uint64_t first = id; fd < 0; ++id) {
        if (id > UINT32_MAX || id - first > kMaxSkipped) failed("archive file ids are used up");
        const std::string data = store->dataPath(id);
        fd = ::open(data.c_str(), flags, store->modes().file);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            failed(systemError("cannot create", data));
        }
        const std::string sidecar = store->sidecarPath(id);
        sidecarFd = ::open(sidecar.c_str(), flags | O_APPEND, store->modes().file);
        if (sidecarFd < 0) {
            // A description left without its data: the data file just made
            // is this creation's own, empty, and known to nobody.
            const int saved = errno;
            ::close(fd);
            fd = -1;
            ::unlink(data.c_str());
            errno = saved;
            if (saved == EEXIST) continue;
            failed(systemError("cannot create", sidecar));
        }
        break;
    }
    crashPoint("archive file created");

    ArchiveFileRecord record;
    record.trellanId = store->trellanId();
    record.groupNumber = static_cast<uint32_t>(file.stream);
    record.afileId = static_cast<uint32_t>(id);
    record.jobId = file.jobId;
    record.stream = file.stream;
    record.state = "writing";
    record.path = Store::relativeDataPath(id);
    record.createdAt = utcNow();
    record.updatedAt = record.createdAt;
    const auto undo = [&](const std::string& message) {
        ::close(fd);
        ::close(sidecarFd);
        ::unlink(store->dataPath(id).c_str());
        ::unlink(store->sidecarPath(id).c_str());
        failed(message);
    };
    if (!applyFileModes(fd, false, store->modes()) ||
        !applyFileModes(sidecarFd, false, store->modes())) {
        undo(systemError("cannot set the modes of", store->dataPath(id)));
    }
    if (!writeWhole(sidecarFd, sidecarHeader(record)) || ::fsync(sidecarFd) != 0) {
        undo(systemError("cannot write", store->sidecarPath(id)));
    }
    if (!syncDirectory(store->filesDirectory())) {
        undo(systemError("cannot sync", store->filesDirectory()));
    }
    crashPoint("description written");
    try {
        catalog->insertArchiveFile(record, file);
        transaction.commit();
    } catch (const std::exception& error) {
        undo(error.what());  // the transaction rolls back on the way out
    }
    crashPoint("catalog commit");
    record.path = store->dataPath(id);
    return std::shared_ptr<ArchiveWriter>(new ArchiveWriter(store, std::move(record), fd, sidecarFd));
}

ArchiveWriter::ArchiveWriter(std::shared_ptr<Store> store, ArchiveFileRecord record, int fd,
                             int sidecarFd)
    : m_store(std::move(store)),
      m_record(std::move(record)),
      m_fd(fd),
      m_sidecarFd(sidecarFd),
      m_digest(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
    if (!m_digest || EVP_DigestInit_ex(m_digest.get(), EVP_sha256(), nullptr) != 1) {
        m_failed = true;
    }
}

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
            m_failed = true;
            if (error) *error = systemError("cannot write", m_record.path);
            return false;
        }
        if (EVP_DigestUpdate(m_digest.get(), bytes + done, static_cast<std::size_t>(count)) != 1) {
            m_failed = true;
        }
        done += static_cast<std::size_t>(count);
        m_written += static_cast<unsigned long long>(count);
    }
    crashPoint("write chunk");
    return true;
}

unsigned long long ArchiveWriter::written() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

bool ArchiveWriter::close(std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto fail = [error](std::string message) {
        if (error) *error = std::move(message);
        return false;
    };
    if (m_fd < 0) return fail("archive file " + m_record.path + " is already closed");
    if (m_failed) return fail("archive file " + m_record.path + " lost a write; it is not closed");
    if (::fsync(m_fd) != 0) return fail(systemError("cannot sync", m_record.path));
    crashPoint("data synced");
    struct stat status {};
    if (::fstat(m_fd, &status) != 0) return fail(systemError("cannot stat", m_record.path));
    const auto size = static_cast<unsigned long long>(status.st_size);
    if (size != m_written) {
        return fail(formatText("archive file %s holds %llu bytes, not the %llu written",
                               m_record.path.c_str(), size, m_written));
    }
    if (m_sha256.empty()) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(m_digest.get(), digest, &length) != 1) {
            return fail("cannot compute the SHA-256 of " + m_record.path);
        }
        for (unsigned int i = 0; i < length; ++i) m_sha256 += formatText("%02x", digest[i]);
    }
    const std::string sidecar = m_store->sidecarPath(m_record.afileId);
    if (!writeWhole(m_sidecarFd, sidecarClosing(size, m_sha256)) || ::fsync(m_sidecarFd) != 0) {
        return fail(systemError("cannot write", sidecar));
    }
    crashPoint("description closed");
    try {
        auto catalog = m_store->catalog();
        CatalogTransaction transaction(*catalog);
        if (!catalog->markClosed(m_record.afileId, size, m_sha256)) {
            return fail("archive file " + m_record.path +
                        " is no longer being written in the catalog (invalidated or removed)");
        }
        transaction.commit();
    } catch (const std::exception& failure) {
        return fail(failure.what());
    }
    crashPoint("catalog commit");
    ::close(m_fd);
    ::close(m_sidecarFd);
    m_fd = m_sidecarFd = -1;
    return true;
}

void ArchiveWriter::release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0) ::close(m_fd);
    if (m_sidecarFd >= 0) ::close(m_sidecarFd);
    m_fd = m_sidecarFd = -1;
}

}  // namespace localplatform
