// What an audit reads of a store: the names in its folders, and archive
// data hashed through the store's safe open.

#include "platform/local/store/AuditScan.h"

#include <openssl/evp.h>

#include <cerrno>
#include <memory>
#include <regex>

#include "platform/local/Config.h"
#include "platform/local/Interruption.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/store/Store.h"

namespace localplatform::audit {

std::string nameOf(const ArchiveFileRecord& record) {
    return archiveFileName(record.trellanId, record.groupNumber, record.afileId) +
           formatText(" of job %llu", record.jobId);
}

void stopIfInterrupted() {
    if (interrupted()) {
        throw StoreError(StoreError::Kind::Interrupted,
                         "stopped before the end; the store is as it was");
    }
}

bool hashData(const Store& store, const std::string& path, Scan& scan, std::string* sha256,
              unsigned long long* size, std::string* why) {
    const std::unique_ptr<StorageFile> file = store.openData(path, why);
    if (!file) return false;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool good = digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) == 1;
    std::vector<char> buffer(1 << 20);
    *size = 0;
    while (good) {
        stopIfInterrupted();
        const ssize_t count = file->readAt(buffer.data(), buffer.size(), *size);
        if (count < 0) {
            *why = systemError("cannot read", path);
            good = false;
            break;
        }
        if (count == 0) break;
        good = EVP_DigestUpdate(digest.get(), buffer.data(), static_cast<std::size_t>(count)) == 1;
        *size += static_cast<unsigned long long>(count);
        scan.count(static_cast<unsigned long long>(count), path);
    }
    if (!good) return false;
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.get(), bytes, &length) != 1) return false;
    sha256->clear();
    for (unsigned int i = 0; i < length; ++i) *sha256 += formatText("%02x", bytes[i]);
    return true;
}

void listFiles(const Store& store, std::set<uint64_t>* data, std::set<uint64_t>* sidecars,
               std::vector<std::string>* other) {
    std::vector<std::string> names;
    if (!store.storage().list(store.filesDirectory(), &names)) {
        if (errno == ENOENT) return;
        throw StoreError(StoreError::Kind::Failed,
                         systemError("cannot read", store.filesDirectory()));
    }
    static const std::regex archiveName(R"(([0-9]{1,10})\.(arch|meta))");
    for (const std::string& name : names) {
        std::smatch match;
        const auto id = std::regex_match(name, match, archiveName)
                            ? numberOf<uint32_t>(match[1].str())
                            : std::nullopt;
        if (!id) {
            other->push_back(name);
            continue;
        }
        (match[2] == "arch" ? data : sidecars)->insert(*id);
    }
}

std::set<unsigned long long> listJobFiles(const Store& store, const std::string& suffix) {
    std::set<unsigned long long> ids;
    std::vector<std::string> names;
    if (!store.storage().list(store.jobsDirectory(), &names)) return ids;
    const std::regex jobName("([0-9]{1,20})\\." + suffix);
    for (const std::string& name : names) {
        std::smatch match;
        if (!std::regex_match(name, match, jobName)) continue;
        if (const auto id = numberOf<unsigned long long>(match[1].str())) ids.insert(*id);
    }
    return ids;
}

}  // namespace localplatform::audit
