#include "manifest/PartsDigest.h"

#include "base/Sha256.h"

std::string partsDigest(const ManifestFile& file) {
    Sha256 digest;
    digest.update(file.sha256.data(), file.sha256.size());
    if (file.isStream()) {
        for (const std::string& stripe : file.stripes) digest.update(stripe.data(), stripe.size());
        return digest.hex();
    }
    for (const ManifestShare& share : file.shares) {
        if (share.size > 0) digest.update(share.sha256.data(), share.sha256.size());
    }
    return digest.hex();
}
