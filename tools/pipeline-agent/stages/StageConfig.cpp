#include "stages/StageConfig.h"

#include "base/Sha256.h"

uint64_t fileIdOfName(const std::string& name) {
    Sha256 digest;
    digest.update(name.data(), name.size());
    const std::string hex = digest.hex();
    uint64_t id = 0;
    for (int byte = 0; byte < 8; ++byte) {
        const std::string pair = hex.substr(static_cast<std::size_t>(2 * byte), 2);
        id |= static_cast<uint64_t>(std::stoul(pair, nullptr, 16)) << (8 * byte);
    }
    return id;
}
