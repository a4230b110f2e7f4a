#include "base/Sha256.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>
#include <vector>

#include "base/AgentError.h"

namespace {

// Fetched once: an implicit fetch at each digest's start takes a lock that
// threads digesting many small files at once would queue on.
const EVP_MD* sha256Algorithm() {
    static const EVP_MD* const algorithm = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched != nullptr ? fetched : EVP_sha256();
    }();
    return algorithm;
}

}  // namespace

Sha256::Sha256() : m_context(EVP_MD_CTX_new()) {
    if (m_context == nullptr || EVP_DigestInit_ex(m_context, sha256Algorithm(), nullptr) != 1) {
        EVP_MD_CTX_free(m_context);
        throw std::bad_alloc();
    }
}

Sha256::~Sha256() { EVP_MD_CTX_free(m_context); }

void Sha256::update(const void* data, std::size_t length) {
    EVP_DigestUpdate(m_context, data, length);
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context, digest, &length);
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0xF];
    }
    return text;
}

std::string sha256OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw jobFailed("cannot read " + path + ": " + std::strerror(errno));
    Sha256 digest;
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        digest.update(buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) throw jobFailed("cannot read " + path + ": " + std::strerror(errno));
    return digest.hex();
}
