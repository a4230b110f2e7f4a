#include "stages/FrameFormat.h"

#include <sodium.h>

#include "stages/Sodium.h"

namespace frame_format {

namespace {

void putLe(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getLe32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace

void writeFixed(const Header& header, uint8_t* out) {
    out[0] = kMagic;
    out[1] = static_cast<uint8_t>(static_cast<uint8_t>(header.payloadCodec) | (header.sealed ? kSealedFlag : 0));
    putLe(out + 2, header.logicalLength, 4);
    putLe(out + 6, header.storedLength, 4);
}

std::string readFixed(const uint8_t* in, std::size_t frameSize, Header& header) {
    if (in[0] != kMagic) return "no frame starts here";
    const uint8_t flags = in[1];
    if ((flags & ~(kCodecMask | kSealedFlag)) != 0 || (flags & kCodecMask) > static_cast<uint8_t>(Codec::Lz4))
        return "unknown flags " + std::to_string(flags);
    header.payloadCodec = static_cast<Codec>(flags & kCodecMask);
    header.sealed = (flags & kSealedFlag) != 0;
    header.logicalLength = getLe32(in + 2);
    header.storedLength = getLe32(in + 6);
    if (header.logicalLength == 0 || header.logicalLength > frameSize)
        return "logical length " + std::to_string(header.logicalLength) + " is not 1 to the frame size " +
               std::to_string(frameSize);
    const std::size_t tag = header.sealed ? kTagSize : 0;
    const std::size_t raw = header.logicalLength + tag;
    const bool fits = header.payloadCodec == Codec::None
                          ? header.storedLength == raw
                          : header.storedLength > tag && header.storedLength < raw;
    if (!fits)
        return "stored length " + std::to_string(header.storedLength) + " does not fit logical length " +
               std::to_string(header.logicalLength);
    return {};
}

std::array<uint8_t, kAssociatedSize> associatedData(const uint8_t* fixedHeader, const FramePosition& position) {
    std::array<uint8_t, kAssociatedSize> ad{};
    for (std::size_t i = 0; i < kFixedSize; ++i) ad[i] = fixedHeader[i];
    putLe(ad.data() + kFixedSize, position.jobId, 8);
    putLe(ad.data() + kFixedSize + 8, position.fileId, 8);
    putLe(ad.data() + kFixedSize + 16, position.stream, 4);
    putLe(ad.data() + kFixedSize + 20, position.frameIndex, 8);
    return ad;
}

std::array<uint8_t, kCheckSize> plainCheck(const std::array<uint8_t, kAssociatedSize>& ad,
                                           const uint8_t* payload, std::size_t length) {
    ensureSodium();
    crypto_generichash_state state;
    uint8_t digest[crypto_generichash_BYTES_MIN];
    crypto_generichash_init(&state, nullptr, 0, sizeof digest);
    crypto_generichash_update(&state, ad.data(), ad.size());
    crypto_generichash_update(&state, payload, length);
    crypto_generichash_final(&state, digest, sizeof digest);
    std::array<uint8_t, kCheckSize> check{};
    for (std::size_t i = 0; i < kCheckSize; ++i) check[i] = digest[i];
    return check;
}

std::string frameName(const std::string& fileName, const FramePosition& position) {
    return "file " + fileName + ", stream " + std::to_string(position.stream) + ", frame " +
           std::to_string(position.frameIndex);
}

}  // namespace frame_format
