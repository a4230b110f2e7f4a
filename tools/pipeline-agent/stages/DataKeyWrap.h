#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "stages/KeyDerivation.h"
#include "stages/SecretKey.h"

// A job's data key sealed under the store key (XChaCha20-Poly1305), with
// the recipe that makes the store key again. It is also the key check: a
// wrong passphrase or key file fails to open it, before any frame is read.
struct WrappedDataKey {
    static constexpr std::size_t kNonceSize = 24;
    static constexpr std::size_t kSealedSize = SecretKey::kSize + 16;

    KeyRecipe recipe;
    uint64_t jobId = 0;
    std::array<uint8_t, kNonceSize> nonce{};
    std::array<uint8_t, kSealedSize> sealed{};

    // As lower-case hex, for a manifest or a job record: version, source,
    // salt, limits, job id, nonce, sealed key.
    std::string toText() const;
    // Parses toText()'s form; throws badInput naming `where` for anything
    // else, and for a recipe whose cost this agent never records
    // (requireKnownRecipe), before any key is derived from it.
    static WrappedDataKey fromText(const std::string& text, const std::string& where);
};

// A new random data key. Thread-safe.
DataKey newDataKey();

// Seals dataKey under storeKey for job `jobId` with a fresh random nonce; the
// recipe, job id and a label are bound as associated data, so that neither
// can be changed unnoticed. Thread-safe.
WrappedDataKey wrapDataKey(const DataKey& dataKey, const StoreKey& storeKey,
                           const KeyRecipe& recipe, uint64_t jobId);

// Opens the wrapped key. A wrong store key (wrong passphrase or key file) or
// any change to the record throws badInput with one line naming the job.
// Thread-safe.
DataKey unwrapDataKey(const WrappedDataKey& wrapped, const StoreKey& storeKey);
