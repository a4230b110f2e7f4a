#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "stages/Codec.h"
#include "stages/FrameFormat.h"
#include "stages/SecretKey.h"
#include "stages/StageConfig.h"

// What every part of one job's bytes goes through: the codec, the frame size
// and, when the job is encrypted, its data key. A value; thread-safe to read.
struct JobStages {
    Codec codec = Codec::None;
    int level = 0;
    std::size_t frameSize = frame_format::kMaxFrameSize;  // what a backup writes
    std::optional<DataKey> key;
    uint64_t jobId = 0;

    // The config of stream `stream`'s part of the set entry `name`: its first
    // frame has index 0 and the position binds job, name and stream, so a
    // part decodes on its own from its stored offset and nowhere else.
    // frameSize: the part's frame size (a stream input's is its stripe unit).
    StageConfig part(const std::string& name, unsigned long stream, std::size_t partFrameSize) const;
};
