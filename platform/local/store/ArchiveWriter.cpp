// Backup archive files: their exclusive creation, writing and closing.

#include "platform/local/store/ArchiveWriter.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/local/Config.h"
#include "platform/local/StepHooks.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/store/Sidecar.h"
#include "platform/local/store/Store.h"

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
    Storage& storage = store->storage();
    auto catalog = store->catalog();
    CatalogTransaction transaction(*catalog);
    uint64_t id = catalog->nextArchiveFileId();
    std::unique_ptr<StorageFile> data, sidecar;
    for (const uint64_t first = id; !data; ++id) {
        if (id > UINT32_MAX || id - first > kMaxSkipped) failed("archive file ids are used up");
        const std::string dataPath = store->dataPath(id);
        data = storage.createExclusive(dataPath, store->modes());
        if (!data) {
            if (errno == EEXIST) continue;
            failed(systemError("cannot create", dataPath));
        }
        const std::string sidecarPath = store->sidecarPath(id);
        sidecar = storage.createExclusive(sidecarPath, store->modes());
        if (!sidecar) {
            // A description left without its data: the data file just made
            // is this creation's own, empty, and known to nobody.
            const int saved = errno;
            data.reset();
            storage.remove(dataPath);
            errno = saved;
            if (saved == EEXIST) continue;
            failed(systemError("cannot create", sidecarPath));
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
        data.reset();
        sidecar.reset();
        storage.remove(store->dataPath(id));
        storage.remove(store->sidecarPath(id));
        failed(message);
    };
    const std::string header = sidecarHeader(record);
    if (!sidecar->append(header.data(), header.size(), nullptr) || !sidecar->sync()) {
        undo(systemError("cannot write", store->sidecarPath(id)));
    }
    if (!storage.syncDirectory(store->filesDirectory())) {
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
    return std::shared_ptr<ArchiveWriter>(
        new ArchiveWriter(store, std::move(record), std::move(data), std::move(sidecar)));
}

ArchiveWriter::ArchiveWriter(std::shared_ptr<Store> store, ArchiveFileRecord record,
                             std::unique_ptr<StorageFile> data,
                             std::unique_ptr<StorageFile> sidecar)
    : m_store(std::move(store)),
      m_record(std::move(record)),
      m_data(std::move(data)),
      m_sidecar(std::move(sidecar)),
      m_digest(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
    if (!m_digest || EVP_DigestInit_ex(m_digest.get(), EVP_sha256(), nullptr) != 1) {
        m_failed = true;
    }
}

ArchiveWriter::~ArchiveWriter() { release(); }

bool ArchiveWriter::write(const void* data, std::size_t length, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_data) {
        if (error) *error = "archive file " + m_record.path + " is closed";
        return false;
    }
    std::size_t done = 0;
    const bool appended = m_data->append(data, length, &done);
    const int saved = errno;
    if (EVP_DigestUpdate(m_digest.get(), data, done) != 1) m_failed = true;
    m_written += static_cast<unsigned long long>(done);
    if (!appended) {
        m_failed = true;
        if (error) *error = systemError("cannot write", m_record.path, saved);
        return false;
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
    if (!m_data) return fail("archive file " + m_record.path + " is already closed");
    if (m_failed) return fail("archive file " + m_record.path + " lost a write; it is not closed");
    if (!m_data->finish()) {
        // What the failed sync dropped, no later one brings back.
        m_failed = true;
        return fail(systemError("cannot sync", m_record.path));
    }
    crashPoint("data synced");
    unsigned long long size = 0;
    if (!m_data->size(&size)) return fail(systemError("cannot stat", m_record.path));
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
    // After a failed write or sync of the description, what reached its
    // disk is unknown (a later sync need not bring back pages a failed one
    // dropped): the file is never closed then.
    if (m_sidecarLost) {
        return fail("archive file " + m_record.path +
                    " lost a write of its description; it is not closed");
    }
    const std::string closing = sidecarClosing(size, m_sha256);
    if (!m_sidecar->append(closing.data(), closing.size(), nullptr) || !m_sidecar->sync()) {
        m_sidecarLost = true;
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
    m_data.reset();
    m_sidecar.reset();
    return true;
}

void ArchiveWriter::release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data.reset();
    m_sidecar.reset();
}

}  // namespace localplatform
