#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "stages/SecretKey.h"

// How a store key is made from what the user holds, recorded beside the
// wrapped data key so that a restore derives the same key again.
struct KeyRecipe {
    enum class Source : uint8_t { KeyFile = 1, Passphrase = 2 };
    static constexpr std::size_t kSaltSize = 16;

    Source source = Source::Passphrase;
    std::array<uint8_t, kSaltSize> salt{};
    // Argon2id's cost for a passphrase; both 0 for a key file.
    uint64_t opsLimit = 0;
    uint64_t memLimit = 0;
};

// Argon2id's cost: moderate (3 passes over 256 MiB, about a second) for
// real jobs; the lowest libsodium accepts only for the tests. These two are
// the only costs this agent ever records, so they bound what a recipe read
// from a store or a manifest may ask: more would let whoever can write there
// make a restore burn CPU and memory at will.
struct KdfLimits {
    uint64_t opsLimit;
    uint64_t memLimit;
    static KdfLimits moderate();
    static KdfLimits testOnlyLowest();
};

// Refuses, with one badInput line starting with `where`, a recipe this agent
// never makes: a passphrase's Argon2id limits outside testOnlyLowest() to
// moderate(), or a key file's limits other than 0. Pure; before any
// derivation, so that a tampered recipe costs nothing.
void requireKnownRecipe(const KeyRecipe& recipe, const std::string& where);

// A new recipe with a random salt. Thread-safe.
KeyRecipe newKeyFileRecipe();
KeyRecipe newPassphraseRecipe(KdfLimits limits);

// The store key of a passphrase: Argon2id over it with the recipe's salt and
// limits. Throws badInput for an empty passphrase or limits this agent never
// records (requireKnownRecipe: a damaged or altered recipe), jobFailed when
// the memory cannot be had. Takes as long and as much memory as the recipe
// says (at most 3 passes over 256 MiB): Argon2id runs on a thread of its own
// while the caller's looks at signals, so that a SIGINT or SIGTERM ends the
// wait at once (throwIfInterrupted; the abandoned derivation ends with the
// process). Thread-safe.
StoreKey storeKeyFromPassphrase(const std::string& passphrase, const KeyRecipe& recipe);

// A key file's content, read once (at least 32 bytes, any bytes) and wiped
// when it goes: what the user holds, checked before any store is opened.
struct KeyFileContent {
    std::string path;            // as given, for messages
    std::vector<uint8_t> bytes;  // the whole content
    KeyFileContent() = default;
    KeyFileContent(const KeyFileContent&) = delete;
    KeyFileContent& operator=(const KeyFileContent&) = delete;
    KeyFileContent(KeyFileContent&& other) noexcept;
    KeyFileContent& operator=(KeyFileContent&& other) noexcept;
    ~KeyFileContent();
};

// Reads the key file at path (a final symbolic link is followed: the user
// names it). Opened without blocking, then checked on the open descriptor:
// refuses, with one badInput line naming the file, one that cannot be
// opened, is not a regular file (a FIFO, a device, a directory), whose mode
// lets group or others at it (as ssh refuses a private key), that is larger
// than 1 MiB or shorter than 32 bytes. Thread-safe.
KeyFileContent readKeyFile(const std::string& path);

// The store key of a key file's content, hashed with the recipe's salt.
// Throws badInput when the recipe is not a key file's. Thread-safe.
StoreKey storeKeyFromKeyFile(const KeyFileContent& content, const KeyRecipe& recipe);

// The same, reading the file first (readKeyFile); the recipe is checked
// before the file is read.
StoreKey storeKeyFromKeyFile(const std::string& path, const KeyRecipe& recipe);
