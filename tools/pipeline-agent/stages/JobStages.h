#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "stages/Codec.h"
#include "stages/FrameFormat.h"
#include "stages/SecretKey.h"
#include "stages/StageConfig.h"

// The frame size a backup writes: 32 KiB, which is also the block a later
// diff or incr backup compares (kPlainBlockSize, manifest/BlockPieces.h,
// says why 32 KiB). A frame decodes on
// its own, so a block is never smaller than one; 1 MiB frames made 1 % of a
// database's 8 KiB pages changed at random change 72 % of the blocks, 32 KiB
// ones 4 %, for 1 % more bytes stored with zstd -3 at the same speed
// (bench/stages_bench --frame).
constexpr std::size_t kBackupFrameSize = std::size_t{32} << 10;

// What every part of one job's bytes goes through: the codec, the frame size
// and, when the job is encrypted, its data key. A value; thread-safe to read.
struct JobStages {
    Codec codec = Codec::None;
    int level = 0;
    std::size_t frameSize = kBackupFrameSize;  // a backup's; a stored job's is its manifest's
    std::optional<DataKey> key;
    uint64_t jobId = 0;

    // The config of stream `stream`'s part of the set entry `name`: its first
    // frame has index 0 and the position binds job, name and stream, so a
    // part decodes on its own from its stored offset and nowhere else.
    // frameSize: the part's frame size (a stream input's is its stripe unit).
    StageConfig part(const std::string& name, unsigned long stream, std::size_t partFrameSize) const;
};
