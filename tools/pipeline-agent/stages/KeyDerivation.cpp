#include "stages/KeyDerivation.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "base/Sha256.h"
#include "stages/Sodium.h"

namespace {

constexpr std::size_t kMinKeyFileBytes = 32;
// A key file is a key, not a document: anything larger is a mistake.
constexpr off_t kMaxKeyFileBytes = 1 << 20;

// The costs this agent records (KdfLimits): fixed numbers, not libsodium's
// macros, so that the bounds stay those of the stores already written.
constexpr uint64_t kModerateOps = 3;
constexpr uint64_t kModerateMemory = uint64_t{256} << 20;
constexpr uint64_t kLowestOps = 1;
constexpr uint64_t kLowestMemory = 8192;
static_assert(kLowestOps >= crypto_pwhash_OPSLIMIT_MIN &&
              kLowestMemory >= crypto_pwhash_MEMLIMIT_MIN);
static_assert(kModerateOps <= crypto_pwhash_OPSLIMIT_MAX &&
              kModerateMemory <= crypto_pwhash_MEMLIMIT_MAX);

// How often a wait for Argon2id looks at signals.
constexpr std::chrono::milliseconds kSignalPoll{20};

// Wipes a buffer of secret bytes when it goes.
struct WipedBytes {
    std::vector<uint8_t> bytes;
    ~WipedBytes() { sodium_memzero(bytes.data(), bytes.size()); }
};

int hexValue(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// What an entry that is not a regular file is, for a message.
const char* kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

// One Argon2id derivation, shared by the thread that runs it and the one
// that waits for it: whichever goes last frees (and wipes) it.
struct Derivation {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int result = -1;
    StoreKey key;
    WipedBytes passphrase;
    KeyRecipe recipe;
};

}  // namespace

KdfLimits KdfLimits::moderate() { return {kModerateOps, kModerateMemory}; }

KdfLimits KdfLimits::testOnlyLowest() { return {kLowestOps, kLowestMemory}; }

void requireKnownRecipe(const KeyRecipe& recipe, const std::string& where) {
    const std::string cost = "(ops limit " + std::to_string(recipe.opsLimit) + ", memory limit " +
                             std::to_string(recipe.memLimit) + " bytes)";
    if (recipe.source == KeyRecipe::Source::KeyFile) {
        if (recipe.opsLimit != 0 || recipe.memLimit != 0)
            throw badInput(where + ": a key file's recipe with an Argon2id cost " + cost +
                           ", which this agent never records: it is damaged or was altered");
        return;
    }
    if (recipe.opsLimit < kLowestOps || recipe.opsLimit > kModerateOps ||
        recipe.memLimit < kLowestMemory || recipe.memLimit > kModerateMemory)
        throw badInput(where + ": Argon2id's cost " + cost +
                       " is out of the range this agent uses (ops 1 to 3, memory 8192 bytes to "
                       "256 MiB): it is damaged or was altered");
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
    requireKnownRecipe(recipe, "the job's key recipe");
    throwIfInterrupted();
    // Argon2id cannot be stopped midway: it runs on a thread of its own, and
    // this one waits for it looking at signals, so that the first SIGINT or
    // SIGTERM ends the command now rather than seconds later. An abandoned
    // derivation goes on until the process ends, which is at once.
    auto derivation = std::make_shared<Derivation>();
    derivation->passphrase.bytes.assign(passphrase.begin(), passphrase.end());
    derivation->recipe = recipe;
    try {
        std::thread([derivation] {
            Derivation& d = *derivation;
            StoreKey key;
            const int result = crypto_pwhash(
                key.bytes.data(), key.bytes.size(),
                reinterpret_cast<const char*>(d.passphrase.bytes.data()), d.passphrase.bytes.size(),
                d.recipe.salt.data(), d.recipe.opsLimit,
                static_cast<std::size_t>(d.recipe.memLimit), crypto_pwhash_ALG_ARGON2ID13);
            std::lock_guard<std::mutex> lock(d.mutex);
            d.key = key;
            d.result = result;
            d.finished = true;
            d.done.notify_all();
        }).detach();
    } catch (const std::system_error& error) {
        throw jobFailed(std::string("cannot start a thread for the key derivation: ") +
                        error.what());
    }
    std::unique_lock<std::mutex> lock(derivation->mutex);
    while (!derivation->finished) {
        if (interruptSignal() != 0) {
            lock.unlock();
            throwIfInterrupted();
        }
        derivation->done.wait_for(lock, kSignalPoll);
    }
    if (derivation->result != 0)
        throw jobFailed(
            "deriving the key from the passphrase failed: not enough memory for Argon2id (" +
            std::to_string(recipe.memLimit >> 20) + " MiB)");
    return derivation->key;
}

KeyFileContent::KeyFileContent(KeyFileContent&& other) noexcept
    : path(std::move(other.path)), bytes(std::move(other.bytes)) {
    other.bytes.clear();
}

KeyFileContent& KeyFileContent::operator=(KeyFileContent&& other) noexcept {
    if (this != &other) {
        sodium_memzero(bytes.data(), bytes.size());
        path = std::move(other.path);
        bytes = std::move(other.bytes);
        other.bytes.clear();
    }
    return *this;
}

KeyFileContent::~KeyFileContent() { sodium_memzero(bytes.data(), bytes.size()); }

KeyFileContent readKeyFile(const std::string& path) {
    ensureSodium();
    // Never blocking: a FIFO opens at once (and is refused below) instead of
    // waiting for a writer that may never come. A final link is followed: the
    // user named the file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw badInput("cannot read key file " + path + ": " + std::strerror(errno));
    struct Closing {
        int fd;
        ~Closing() { ::close(fd); }
    } closing{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        throw badInput("cannot read key file " + path + ": " + std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        throw badInput("key file " + path + " is " + kindOf(status.st_mode) +
                       ", not a regular file");
    if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        throw badInput("key file " + path + " has mode " + mode +
                       ", open to group or others: make it its owner's alone (chmod 600)");
    }
    if (status.st_size > kMaxKeyFileBytes)
        throw badInput("key file " + path + " is larger than 1 MiB: not a key");
    KeyFileContent content;
    content.path = path;
    // One byte more than its size: a file that grows is noticed. Never more
    // than the bound, whatever the size said.
    content.bytes.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        const ssize_t got = ::read(fd, content.bytes.data() + have, content.bytes.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw badInput("cannot read key file " + path + ": " + std::strerror(errno));
        if (got == 0 || (have += static_cast<std::size_t>(got)) == content.bytes.size()) break;
    }
    if (have == content.bytes.size())
        throw badInput("key file " + path + " grew while it was read");
    sodium_memzero(content.bytes.data() + have, content.bytes.size() - have);
    content.bytes.resize(have);
    if (have < kMinKeyFileBytes)
        throw badInput("key file " + path + " holds " + std::to_string(have) +
                       " bytes; a key file needs at least " + std::to_string(kMinKeyFileBytes));
    return content;
}

StoreKey storeKeyFromKeyFile(const KeyFileContent& content, const KeyRecipe& recipe) {
    ensureSodium();
    if (recipe.source != KeyRecipe::Source::KeyFile)
        throw badInput("the job's key was made from a passphrase, not a key file");
    // The file is the key's entropy; the salt makes each job's store key its
    // own, and the label keeps this use of SHA-256 apart from any other.
    Sha256 digest;
    static const char kLabel[] = "pipeline-agent key file store key v1";
    digest.update(kLabel, sizeof kLabel);
    digest.update(recipe.salt.data(), recipe.salt.size());
    digest.update(content.bytes.data(), content.bytes.size());
    std::string hex = digest.hex();
    StoreKey key;
    for (std::size_t i = 0; i < key.bytes.size(); ++i)
        key.bytes[i] = static_cast<uint8_t>(hexValue(hex[2 * i]) << 4 | hexValue(hex[2 * i + 1]));
    sodium_memzero(hex.data(), hex.size());
    return key;
}

StoreKey storeKeyFromKeyFile(const std::string& path, const KeyRecipe& recipe) {
    if (recipe.source != KeyRecipe::Source::KeyFile)
        throw badInput("the job's key was made from a passphrase, not a key file");
    return storeKeyFromKeyFile(readKeyFile(path), recipe);
}
