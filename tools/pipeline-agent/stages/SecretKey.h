#pragma once

#include <array>
#include <cstdint>

// 32 bytes of key material, wiped when it goes out of scope. Copyable (each
// copy is wiped in its turn); holds no lock and no heap memory.
struct SecretKey {
    static constexpr std::size_t kSize = 32;
    std::array<uint8_t, kSize> bytes{};

    SecretKey() = default;
    SecretKey(const SecretKey&) = default;
    SecretKey& operator=(const SecretKey&) = default;
    ~SecretKey();
};

// The key that wraps a job's data key: from a key file or a passphrase.
struct StoreKey : SecretKey {};

// The random key one job's frames are sealed with.
struct DataKey : SecretKey {};
