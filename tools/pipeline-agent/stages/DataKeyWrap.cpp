#include "stages/DataKeyWrap.h"

#include <sodium.h>

#include <vector>

#include "base/AgentError.h"
#include "stages/Sodium.h"

namespace {

constexpr uint8_t kVersion = 1;

void putU64(std::vector<uint8_t>& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Everything but the sealed key itself, in a fixed order: what the seal
// binds and what toText() writes first.
std::vector<uint8_t> header(const WrappedDataKey& wrapped) {
    std::vector<uint8_t> out;
    out.push_back(kVersion);
    out.push_back(static_cast<uint8_t>(wrapped.recipe.source));
    out.insert(out.end(), wrapped.recipe.salt.begin(), wrapped.recipe.salt.end());
    putU64(out, wrapped.recipe.opsLimit);
    putU64(out, wrapped.recipe.memLimit);
    putU64(out, wrapped.jobId);
    out.insert(out.end(), wrapped.nonce.begin(), wrapped.nonce.end());
    return out;
}

std::vector<uint8_t> associatedData(const WrappedDataKey& wrapped) {
    static const char kLabel[] = "pipeline-agent data key";
    std::vector<uint8_t> ad(kLabel, kLabel + sizeof kLabel);
    const std::vector<uint8_t> fields = header(wrapped);
    ad.insert(ad.end(), fields.begin(), fields.end());
    return ad;
}

constexpr std::size_t kTextBytes = 2 + KeyRecipe::kSaltSize + 3 * 8 + WrappedDataKey::kNonceSize +
                                   WrappedDataKey::kSealedSize;

}  // namespace

std::string WrappedDataKey::toText() const {
    std::vector<uint8_t> bytes = header(*this);
    bytes.insert(bytes.end(), sealed.begin(), sealed.end());
    std::string text(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes.data(), bytes.size());
    text.pop_back();
    return text;
}

WrappedDataKey WrappedDataKey::fromText(const std::string& text, const std::string& where) {
    std::vector<uint8_t> bytes(kTextBytes);
    std::size_t length = 0;
    const char* end = nullptr;
    if (text.size() != 2 * kTextBytes ||
        sodium_hex2bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, &end) != 0 ||
        length != kTextBytes || bytes[0] != kVersion ||
        (bytes[1] != static_cast<uint8_t>(KeyRecipe::Source::KeyFile) &&
         bytes[1] != static_cast<uint8_t>(KeyRecipe::Source::Passphrase)))
        throw badInput(where + ": the wrapped data key is not one this agent wrote");
    WrappedDataKey wrapped;
    const uint8_t* p = bytes.data() + 1;
    wrapped.recipe.source = static_cast<KeyRecipe::Source>(*p++);
    auto take = [&p](uint8_t* dst, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) dst[i] = *p++;
    };
    auto takeU64 = [&p]() {
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(*p++) << (8 * i);
        return value;
    };
    take(wrapped.recipe.salt.data(), wrapped.recipe.salt.size());
    wrapped.recipe.opsLimit = takeU64();
    wrapped.recipe.memLimit = takeU64();
    wrapped.jobId = takeU64();
    take(wrapped.nonce.data(), wrapped.nonce.size());
    take(wrapped.sealed.data(), wrapped.sealed.size());
    // The seal binds the limits, but opening it needs the key they make:
    // a cost this agent never asks is refused before it is paid.
    requireKnownRecipe(wrapped.recipe, where);
    return wrapped;
}

DataKey newDataKey() {
    ensureSodium();
    DataKey key;
    crypto_aead_xchacha20poly1305_ietf_keygen(key.bytes.data());
    return key;
}

WrappedDataKey wrapDataKey(const DataKey& dataKey, const StoreKey& storeKey, const KeyRecipe& recipe,
                           uint64_t jobId) {
    ensureSodium();
    WrappedDataKey wrapped;
    wrapped.recipe = recipe;
    wrapped.jobId = jobId;
    randombytes_buf(wrapped.nonce.data(), wrapped.nonce.size());
    const std::vector<uint8_t> ad = associatedData(wrapped);
    unsigned long long sealedLength = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(wrapped.sealed.data(), &sealedLength, dataKey.bytes.data(),
                                               dataKey.bytes.size(), ad.data(), ad.size(), nullptr,
                                               wrapped.nonce.data(), storeKey.bytes.data());
    return wrapped;
}

DataKey unwrapDataKey(const WrappedDataKey& wrapped, const StoreKey& storeKey) {
    ensureSodium();
    const std::vector<uint8_t> ad = associatedData(wrapped);
    DataKey key;
    unsigned long long length = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(key.bytes.data(), &length, nullptr, wrapped.sealed.data(),
                                                   wrapped.sealed.size(), ad.data(), ad.size(),
                                                   wrapped.nonce.data(), storeKey.bytes.data()) != 0 ||
        length != key.bytes.size())
        throw badInput("the key does not open job " + std::to_string(wrapped.jobId) +
                       "'s data key: wrong " +
                       (wrapped.recipe.source == KeyRecipe::Source::Passphrase ? "passphrase" : "key file") +
                       " (or the key record is damaged)");
    return key;
}
