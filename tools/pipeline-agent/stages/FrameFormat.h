#pragma once

// A stored frame, the unit that is decoded on its own. A stream's logical
// bytes are cut into frames of StageConfig::frameSize logical bytes (the last
// one shorter); frames lie back to back in the stream's archive file, so a
// restore that seeks starts at any frame from its stored offset and index.
//
//   offset  size  field
//   0       1     magic and version: 0xF1
//   1       1     flags: bits 0-1 the payload's codec (0 raw, 1 zstd, 2 lz4),
//                 bit 2 sealed; the other bits are 0
//   2       4     logical length, little-endian, 1 to the frame size
//   6       4     stored length: the payload's bytes after the header
//   10      24    sealed: the XChaCha20-Poly1305 nonce, random per frame
//           8     not sealed: a check, the first 8 bytes of BLAKE2b over the
//                 associated data and the payload
//   34|18   ...   payload: the logical bytes, compressed or raw; sealed, the
//                 ciphertext followed by its 16-byte tag
//
// A frame whose compressed form is not smaller than its logical bytes is kept
// raw (codec 0), so that a raw payload is exactly the logical length (plus
// the tag when sealed) and a compressed one shorter. The associated data is
// bytes 0-9 of the header, then the position: job id (8), file id (8), stream
// (4) and frame index (8), all little-endian. The check of a frame that is
// not sealed catches damage and frames out of place, not an attacker.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "stages/Codec.h"
#include "stages/StageConfig.h"

namespace frame_format {

constexpr uint8_t kMagic = 0xF1;
constexpr uint8_t kCodecMask = 0x03;
constexpr uint8_t kSealedFlag = 0x04;
constexpr std::size_t kFixedSize = 10;
constexpr std::size_t kNonceSize = 24;
constexpr std::size_t kCheckSize = 8;
constexpr std::size_t kTagSize = 16;
// The frame size of every backup (JobStages), and of a stream input's frames,
// which are its stripes (BackupStreams::kStripeUnit): the largest frame this
// agent writes, and so the largest any reader accepts, from a manifest
// above all. A restore holds three frames per stream: a larger size named
// by a manifest would let its writer choose the restore's memory.
constexpr std::size_t kMaxFrameSize = std::size_t{1} << 20;
constexpr std::size_t kAssociatedSize = kFixedSize + 8 + 8 + 4 + 8;

struct Header {
    Codec payloadCodec = Codec::None;  // None: the payload is raw
    bool sealed = false;
    uint32_t logicalLength = 0;
    uint32_t storedLength = 0;
};

constexpr std::size_t headerSize(bool sealed) { return kFixedSize + (sealed ? kNonceSize : kCheckSize); }

// What a frame adds to its logical bytes at most: its header, and the tag
// when sealed.
constexpr std::size_t frameOverhead(bool sealed) { return headerSize(sealed) + (sealed ? kTagSize : 0); }

// Writes bytes 0-9 of the header. Pure.
void writeFixed(const Header& header, uint8_t* out);

// Reads bytes 0-9 of a header and checks them against each other and the
// frame size. Returns an empty string when they are sound, else what is
// wrong (for an error line). Pure.
std::string readFixed(const uint8_t* in, std::size_t frameSize, Header& header);

// The associated data of a frame: its fixed header and its position. Pure.
std::array<uint8_t, kAssociatedSize> associatedData(const uint8_t* fixedHeader, const FramePosition& position);

// The check of a frame that is not sealed. Pure; thread-safe.
std::array<uint8_t, kCheckSize> plainCheck(const std::array<uint8_t, kAssociatedSize>& ad,
                                           const uint8_t* payload, std::size_t length);

// The message prefix that names a frame: "file F, stream S, frame K".
std::string frameName(const std::string& fileName, const FramePosition& position);

}  // namespace frame_format
