#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "stages/Codec.h"
#include "stages/SecretKey.h"

// Where a frame belongs: bound into every frame (as the seal's associated
// data, or into the check of a frame that is not sealed), so that a frame
// read at any other place fails.
struct FramePosition {
    uint64_t jobId = 0;
    uint64_t fileId = 0;      // the file's index in its set, or fileIdOfName()
    uint32_t stream = 0;      // the stream's number, from 1
    uint64_t frameIndex = 0;  // the frame's index in this file's part on this stream
};

// A file's id from its name, for inputs that have no stable index: the first
// 8 bytes of the name's SHA-256, little-endian. Pure; thread-safe.
uint64_t fileIdOfName(const std::string& name);

// What a stream's bytes go through: the codec, the data key when the job is
// encrypted, and the position of the first frame. The encoder and the decoder
// of the same bytes need the same codec (only to compress: any decoder reads
// any codec), key, frame size and position.
struct StageConfig {
    Codec codec = Codec::None;
    int level = 0;                      // zstd's level; ignored otherwise
    std::optional<DataKey> key;         // none: frames are not sealed
    FramePosition base;                 // the first frame's position
    std::size_t frameSize = 1u << 20;   // logical bytes per frame, 1 to 1 MiB
    std::string fileName;               // names the file in error lines
};
