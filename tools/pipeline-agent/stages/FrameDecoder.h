#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "stages/Codec.h"
#include "stages/StageConfig.h"

// Turns stored frames back into a stream's logical bytes, verifying each
// frame (its seal, or its check when the job is not encrypted) before any of
// its bytes leave. Fed from a frame boundary: the stream's start, or the
// stored offset of frame k with the config's base.frameIndex = k. Holds one
// frame's buffers whatever it is fed. Not thread-safe: one stream's thread
// feeds it.
class FrameDecoder {
public:
    // Gets each frame's logical bytes, in order; `data` is valid only during
    // the call.
    using Sink = std::function<void(const uint8_t* data, std::size_t length)>;

    // Throws std::invalid_argument for a frame size outside 1 byte to 64 MiB.
    FrameDecoder(StageConfig config, Sink sink);

    // Takes stored bytes in pieces of any size. A frame that is damaged, out
    // of place (another index, file, stream or job), sealed under another key,
    // or sealed when the config has no key (or not when it has) throws
    // jobFailed with one line naming the file, stream and frame index; the
    // decoder is spent then, and nothing of that frame reached the sink.
    void write(const void* data, std::size_t length);

    // Throws jobFailed when the stored bytes end inside a frame.
    void finish();

    uint64_t logicalBytes() const { return m_logicalBytes; }
    uint64_t storedBytes() const { return m_storedBytes; }
    uint64_t frames() const { return m_frames; }

private:
    void decodeFrame();
    [[noreturn]] void fail(const std::string& what) const;

    StageConfig m_config;
    Sink m_sink;
    FrameCodec m_codec;
    std::vector<uint8_t> m_frame;    // the stored frame being gathered
    std::size_t m_have = 0;
    std::size_t m_need = 0;          // the whole frame's size, once its header is read
    std::vector<uint8_t> m_scratch;  // an opened payload, before it is decompressed
    std::vector<uint8_t> m_output;   // the frame's logical bytes
    uint64_t m_logicalBytes = 0;
    uint64_t m_storedBytes = 0;
    uint64_t m_frames = 0;
};
