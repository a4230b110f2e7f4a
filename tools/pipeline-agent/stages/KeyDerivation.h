#pragma once

#include <array>
#include <cstdint>
#include <string>

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
// real jobs; the lowest libsodium accepts only for the tests.
struct KdfLimits {
    uint64_t opsLimit;
    uint64_t memLimit;
    static KdfLimits moderate();
    static KdfLimits testOnlyLowest();
};

// A new recipe with a random salt. Thread-safe.
KeyRecipe newKeyFileRecipe();
KeyRecipe newPassphraseRecipe(KdfLimits limits);

// The store key of a passphrase: Argon2id over it with the recipe's salt and
// limits. Throws badInput for an empty passphrase or limits out of
// libsodium's range (a damaged recipe), jobFailed when the memory cannot be
// had. Takes as long and as much memory as the recipe says; thread-safe.
StoreKey storeKeyFromPassphrase(const std::string& passphrase, const KeyRecipe& recipe);

// The store key of a key file: its whole content (any bytes, at least 32),
// hashed with the recipe's salt. Refuses, with one badInput line naming the
// file, a file that cannot be read, is shorter than 32 bytes, or whose mode
// lets group or others at it (as ssh refuses a private key). Thread-safe.
StoreKey storeKeyFromKeyFile(const std::string& path, const KeyRecipe& recipe);
