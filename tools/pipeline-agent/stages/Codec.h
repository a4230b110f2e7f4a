#pragma once

#include <cstddef>
#include <cstdint>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

// How a frame's logical bytes are compressed. The numbers are stored in the
// frame header's flags: never renumber them.
enum class Codec : uint8_t { None = 0, Zstd = 1, Lz4 = 2 };

// The name of a codec as the option text spells it ("zstd", "lz4", "none").
const char* codecName(Codec codec);

// One stream's compressor and decompressor: the zstd contexts are made once
// and reused for every frame of the stream. Not thread-safe: one stream's
// thread uses it.
class FrameCodec {
public:
    // Throws std::bad_alloc when a zstd context cannot be made.
    FrameCodec(Codec codec, int level);
    ~FrameCodec();
    FrameCodec(const FrameCodec&) = delete;
    FrameCodec& operator=(const FrameCodec&) = delete;

    Codec codec() const { return m_codec; }

    // Compresses `length` bytes into dst, at most `capacity` bytes. Returns
    // the compressed length, or 0 when the result would not fit (the caller
    // keeps the frame raw then; give capacity = length - 1 to keep only
    // frames that shrink). Never called for Codec::None.
    std::size_t compress(const uint8_t* src, std::size_t length, uint8_t* dst,
                         std::size_t capacity);

    // Decompresses a frame of `codec` into exactly `logicalLength` bytes at
    // dst. Returns false when the payload is not a valid frame of that
    // length (dst holds garbage then).
    bool decompress(Codec codec, const uint8_t* src, std::size_t length, uint8_t* dst,
                    std::size_t logicalLength);

private:
    Codec m_codec;
    int m_level;
    ZSTD_CCtx_s* m_compress = nullptr;
    ZSTD_DCtx_s* m_decompress = nullptr;
};
