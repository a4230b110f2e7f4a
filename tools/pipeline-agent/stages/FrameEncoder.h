#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "stages/Codec.h"
#include "stages/StageConfig.h"

// One frame as it is stored, handed to the encoder's sink. `data` is valid
// only during the call.
struct StoredFrame {
    uint64_t index = 0;          // the frame's index (the config's base index + frames before)
    uint64_t logicalOffset = 0;  // where its logical bytes start, from this encoder's first byte
    uint64_t storedOffset = 0;   // where the frame starts in this encoder's output
    uint32_t logicalLength = 0;
    const uint8_t* data = nullptr;
    std::size_t size = 0;
};

// Cuts a stream's logical bytes into frames and compresses and seals each
// (FrameFormat.h). Holds one frame's buffers whatever it is fed. Not
// thread-safe: one stream's thread feeds it.
class FrameEncoder {
public:
    using Sink = std::function<void(const StoredFrame&)>;

    // Throws std::invalid_argument for a frame size outside 1 byte to 64 MiB.
    FrameEncoder(StageConfig config, Sink sink);

    // Takes `length` logical bytes; each frame filled is handed to the sink
    // before this returns. What the sink throws passes through, and the
    // encoder is then spent (feed it nothing more).
    void write(const void* data, std::size_t length);

    // Hands the last, shorter frame to the sink, if any bytes wait. Nothing
    // may be written afterwards. No input at all makes no frame.
    void finish();

    uint64_t logicalBytes() const { return m_logicalBytes; }
    uint64_t storedBytes() const { return m_storedBytes; }
    uint64_t frames() const { return m_frames; }

private:
    void emitFrame();

    StageConfig m_config;
    Sink m_sink;
    FrameCodec m_codec;
    std::vector<uint8_t> m_input;    // the frame being filled
    std::size_t m_fill = 0;
    std::vector<uint8_t> m_scratch;  // compressed payload, before it is sealed
    std::vector<uint8_t> m_frame;    // the stored frame
    uint64_t m_logicalBytes = 0;
    uint64_t m_storedBytes = 0;
    uint64_t m_frames = 0;
    bool m_finished = false;
};
