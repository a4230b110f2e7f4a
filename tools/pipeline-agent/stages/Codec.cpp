#include "stages/Codec.h"

#include <lz4.h>
#include <zstd.h>

#include <climits>
#include <new>

const char* codecName(Codec codec) {
    switch (codec) {
    case Codec::None: return "none";
    case Codec::Zstd: return "zstd";
    case Codec::Lz4: return "lz4";
    }
    return "unknown";
}

FrameCodec::FrameCodec(Codec codec, int level) : m_codec(codec), m_level(level) {}

FrameCodec::~FrameCodec() {
    ZSTD_freeCCtx(m_compress);
    ZSTD_freeDCtx(m_decompress);
}

std::size_t FrameCodec::compress(const uint8_t* src, std::size_t length, uint8_t* dst,
                                 std::size_t capacity) {
    if (length == 0 || capacity == 0) return 0;
    switch (m_codec) {
    case Codec::None: return 0;
    case Codec::Zstd: {
        if (m_compress == nullptr && (m_compress = ZSTD_createCCtx()) == nullptr)
            throw std::bad_alloc();
        const std::size_t written = ZSTD_compressCCtx(m_compress, dst, capacity, src, length, m_level);
        return ZSTD_isError(written) ? 0 : written;
    }
    case Codec::Lz4: {
        // Frames are at most 64 MiB (FrameFormat), well inside LZ4's int.
        const int written = LZ4_compress_default(reinterpret_cast<const char*>(src),
                                                 reinterpret_cast<char*>(dst),
                                                 static_cast<int>(length),
                                                 static_cast<int>(capacity > INT_MAX ? INT_MAX : capacity));
        return written > 0 ? static_cast<std::size_t>(written) : 0;
    }
    }
    return 0;
}

bool FrameCodec::decompress(Codec codec, const uint8_t* src, std::size_t length, uint8_t* dst,
                            std::size_t logicalLength) {
    switch (codec) {
    case Codec::None: return false;
    case Codec::Zstd: {
        if (m_decompress == nullptr && (m_decompress = ZSTD_createDCtx()) == nullptr)
            throw std::bad_alloc();
        const std::size_t written = ZSTD_decompressDCtx(m_decompress, dst, logicalLength, src, length);
        return !ZSTD_isError(written) && written == logicalLength;
    }
    case Codec::Lz4: {
        const int written = LZ4_decompress_safe(reinterpret_cast<const char*>(src),
                                                reinterpret_cast<char*>(dst),
                                                static_cast<int>(length),
                                                static_cast<int>(logicalLength));
        return written >= 0 && static_cast<std::size_t>(written) == logicalLength;
    }
    }
    return false;
}
