#include "streams/FileDigest.h"

#include <algorithm>
#include <utility>

#include "base/AgentError.h"
#include "manifest/PartsDigest.h"

FileDigest::FileDigest(std::vector<uint64_t> partSizes, ReadBack readBack)
    : FileDigest(nullptr, std::move(partSizes), std::move(readBack)) {}

FileDigest::FileDigest(const ManifestFile& file, ReadBack readBack)
    : FileDigest(partsVouchForFile(file) ? &file : nullptr, partSizes(file), std::move(readBack)) {}

FileDigest::FileDigest(const ManifestFile* vouchedFor, std::vector<uint64_t> partSizes,
                       ReadBack readBack)
    : m_vouchedFor(vouchedFor),
      m_sizes(std::move(partSizes)),
      m_readBack(std::move(readBack)),
      m_written(m_sizes.size(), 0) {
    uint64_t start = 0;
    for (const uint64_t size : m_sizes) {
        m_starts.push_back(start);
        start += size;
    }
}

void FileDigest::written(std::size_t part, const void* data, std::size_t length) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const uint64_t start = m_written[part];
    m_written[part] += length;
    if (m_vouchedFor) return;
    // Whoever hashes now reads these bytes back when their turn comes.
    if (m_busy) return;
    drain(lock, part, start, data, length);
}

void FileDigest::drain(std::unique_lock<std::mutex>& lock, std::size_t part, uint64_t start,
                       const void* data, std::size_t length) {
    m_busy = true;
    struct Release {
        bool& busy;
        ~Release() { busy = false; }
    } release{m_busy};
    for (;;) {
        while (m_turn < m_sizes.size() && m_hashed == m_sizes[m_turn]) {
            ++m_turn;
            m_hashed = 0;
        }
        if (m_turn == m_sizes.size()) return;
        const uint64_t available = m_written[m_turn] - m_hashed;
        if (available == 0) return;
        if (data != nullptr && m_turn == part && m_hashed == start) {
            // The delivery in hand is next: hash it as it is.
            lock.unlock();
            m_digest.update(data, length);
            lock.lock();
            m_hashed += length;
            data = nullptr;
            continue;
        }
        uint64_t take = std::min<uint64_t>(available, kReadBackChunk);
        if (data != nullptr && m_turn == part) take = std::min(take, start - m_hashed);
        const uint64_t offset = m_starts[m_turn] + m_hashed;
        lock.unlock();
        if (m_buffer.empty()) m_buffer.resize(kReadBackChunk);
        try {
            m_readBack(m_buffer.data(), static_cast<std::size_t>(take), offset);
        } catch (...) {
            lock.lock();
            throw;
        }
        m_digest.update(m_buffer.data(), static_cast<std::size_t>(take));
        lock.lock();
        m_hashed += take;
        m_readBackBytes += take;
    }
}

std::string FileDigest::finish() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_vouchedFor) drain(lock, m_sizes.size(), 0, nullptr, 0);
    for (std::size_t i = 0; i < m_sizes.size(); ++i) {
        if (m_written[i] != m_sizes[i]) {
            throw jobFailed("part " + std::to_string(i + 1) + " of the file was written " +
                            std::to_string(m_written[i]) + " of " + std::to_string(m_sizes[i]) +
                            " bytes; its digest cannot be taken");
        }
    }
    lock.unlock();
    return m_vouchedFor ? digestOfParts(*m_vouchedFor) : m_digest.hex();
}

uint64_t FileDigest::readBackBytes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_readBackBytes;
}

std::vector<uint64_t> partSizes(const ManifestFile& file) {
    std::vector<uint64_t> sizes;
    if (!file.isStream()) {
        for (const ManifestShare& share : file.shares) sizes.push_back(share.size);
        return sizes;
    }
    for (uint64_t offset = 0; offset < file.size; offset += file.stripeUnit) {
        sizes.push_back(std::min(file.stripeUnit, file.size - offset));
    }
    return sizes;
}

bool partsVouchForFile(const ManifestFile& file) {
    if (!file.partsSha256.empty()) return true;
    if (file.isStream()) return file.stripes.size() <= 1;
    return std::count_if(file.shares.begin(), file.shares.end(),
                         [](const ManifestShare& share) { return share.size > 0; }) <= 1;
}

std::string digestOfParts(const ManifestFile& file) {
    if (file.partsSha256.empty()) {
        // One part holds every byte, or none does.
        if (file.isStream()) return file.stripes.empty() ? Sha256().hex() : file.stripes[0];
        for (const ManifestShare& share : file.shares) {
            if (share.size > 0) return share.sha256;
        }
        return Sha256().hex();
    }
    if (partsDigest(file) != file.partsSha256) {
        throw jobFailed("the checksums the manifest records for " + file.name +
                        " do not agree: its file's and its parts' checksums do not give the "
                        "partsSha256 beside them (the manifest was altered)");
    }
    return file.sha256;
}

void requireFileDigest(const ManifestFile& file, const std::string& digest) {
    if (digest == file.sha256) return;
    throw jobFailed("the bytes restored for " + file.name + " have SHA-256 " + digest +
                    ", the manifest records " + file.sha256 +
                    "; every part matched its own checksum, so the manifest's file checksum "
                    "does not belong to its parts (the manifest was altered)");
}
