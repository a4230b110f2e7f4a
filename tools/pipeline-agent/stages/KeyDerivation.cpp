#include "stages/KeyDerivation.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/AgentError.h"
#include "base/Sha256.h"
#include "stages/Sodium.h"

namespace {

constexpr std::size_t kMinKeyFileBytes = 32;
// A key file is a key, not a document: anything larger is a mistake.
constexpr off_t kMaxKeyFileBytes = 1 << 20;

// Wipes a buffer of secret bytes when it goes.
struct WipedBytes {
    std::vector<uint8_t> bytes;
    ~WipedBytes() { sodium_memzero(bytes.data(), bytes.size()); }
};

int hexValue(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

}  // namespace

KdfLimits KdfLimits::moderate() {
    return {crypto_pwhash_OPSLIMIT_MODERATE, crypto_pwhash_MEMLIMIT_MODERATE};
}

KdfLimits KdfLimits::testOnlyLowest() {
    return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

KeyRecipe newKeyFileRecipe() {
    ensureSodium();
    KeyRecipe recipe;
    recipe.source = KeyRecipe::Source::KeyFile;
    randombytes_buf(recipe.salt.data(), recipe.salt.size());
    return recipe;
}

KeyRecipe newPassphraseRecipe(KdfLimits limits) {
    ensureSodium();
    KeyRecipe recipe;
    recipe.source = KeyRecipe::Source::Passphrase;
    randombytes_buf(recipe.salt.data(), recipe.salt.size());
    recipe.opsLimit = limits.opsLimit;
    recipe.memLimit = limits.memLimit;
    return recipe;
}

StoreKey storeKeyFromPassphrase(const std::string& passphrase, const KeyRecipe& recipe) {
    ensureSodium();
    if (recipe.source != KeyRecipe::Source::Passphrase)
        throw badInput("the job's key was made from a key file, not a passphrase");
    if (passphrase.empty()) throw badInput("the passphrase is empty");
    if (recipe.opsLimit < crypto_pwhash_OPSLIMIT_MIN || recipe.opsLimit > crypto_pwhash_OPSLIMIT_MAX ||
        recipe.memLimit < crypto_pwhash_MEMLIMIT_MIN || recipe.memLimit > crypto_pwhash_MEMLIMIT_MAX)
        throw badInput("the job's key recipe has Argon2id limits out of range (ops " +
                       std::to_string(recipe.opsLimit) + ", memory " + std::to_string(recipe.memLimit) +
                       "): it is damaged");
    StoreKey key;
    if (crypto_pwhash(key.bytes.data(), key.bytes.size(), passphrase.data(), passphrase.size(),
                      recipe.salt.data(), recipe.opsLimit, static_cast<std::size_t>(recipe.memLimit),
                      crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw jobFailed("deriving the key from the passphrase failed: not enough memory for Argon2id (" +
                        std::to_string(recipe.memLimit >> 20) + " MiB)");
    return key;
}

StoreKey storeKeyFromKeyFile(const std::string& path, const KeyRecipe& recipe) {
    ensureSodium();
    if (recipe.source != KeyRecipe::Source::KeyFile)
        throw badInput("the job's key was made from a passphrase, not a key file");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw badInput("cannot read key file " + path + ": " + std::strerror(errno));
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        throw badInput("key file " + path + " is not a regular file");
    }
    if ((status.st_mode & 077) != 0) {
        ::close(fd);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        throw badInput("key file " + path + " has mode " + mode +
                       ", open to group or others: make it its owner's alone (chmod 600)");
    }
    if (status.st_size > kMaxKeyFileBytes) {
        ::close(fd);
        throw badInput("key file " + path + " is larger than 1 MiB: not a key");
    }
    WipedBytes content;
    content.bytes.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        const ssize_t got = ::read(fd, content.bytes.data() + have, content.bytes.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            throw badInput("cannot read key file " + path + ": " + std::strerror(error));
        }
        if (got == 0 || (have += static_cast<std::size_t>(got)) == content.bytes.size()) break;
    }
    ::close(fd);
    if (have < kMinKeyFileBytes)
        throw badInput("key file " + path + " holds " + std::to_string(have) +
                       " bytes; a key file needs at least " + std::to_string(kMinKeyFileBytes));
    if (have == content.bytes.size())
        throw badInput("key file " + path + " grew while it was read");

    // The file is the key's entropy; the salt makes each job's store key its
    // own, and the label keeps this use of SHA-256 apart from any other.
    Sha256 digest;
    static const char kLabel[] = "pipeline-agent key file store key v1";
    digest.update(kLabel, sizeof kLabel);
    digest.update(recipe.salt.data(), recipe.salt.size());
    digest.update(content.bytes.data(), have);
    std::string hex = digest.hex();
    StoreKey key;
    for (std::size_t i = 0; i < key.bytes.size(); ++i)
        key.bytes[i] = static_cast<uint8_t>(hexValue(hex[2 * i]) << 4 | hexValue(hex[2 * i + 1]));
    sodium_memzero(hex.data(), hex.size());
    return key;
}
