#include "stages/FrameEncoder.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

#include "stages/FrameFormat.h"
#include "stages/Sodium.h"

using namespace frame_format;

FrameEncoder::FrameEncoder(StageConfig config, Sink sink)
    : m_config(std::move(config)), m_sink(std::move(sink)), m_codec(m_config.codec, m_config.level) {
    if (m_config.frameSize == 0 || m_config.frameSize > kMaxFrameSize)
        throw std::invalid_argument("frame size must be 1 byte to 1 MiB");
    ensureSodium();
    m_input.resize(m_config.frameSize);
    // A payload is kept compressed only when it is smaller than the frame's
    // logical bytes, so the frame size bounds it.
    if (m_config.codec != Codec::None && m_config.key) m_scratch.resize(m_config.frameSize);
    m_frame.resize(headerSize(m_config.key.has_value()) + m_config.frameSize + kTagSize);
}

void FrameEncoder::write(const void* data, std::size_t length) {
    if (m_finished) throw std::logic_error("FrameEncoder::write after finish");
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const std::size_t take = std::min(length, m_input.size() - m_fill);
        std::memcpy(m_input.data() + m_fill, bytes, take);
        m_fill += take;
        bytes += take;
        length -= take;
        if (m_fill == m_input.size()) emitFrame();
    }
}

void FrameEncoder::finish() {
    if (m_finished) return;
    if (m_fill > 0) emitFrame();
    m_finished = true;
}

void FrameEncoder::emitFrame() {
    const bool sealed = m_config.key.has_value();
    const std::size_t header = headerSize(sealed);
    uint8_t* payload = m_frame.data() + header;

    // Compress where the payload goes (or to scratch, to be sealed from
    // there); a frame that does not shrink stays raw.
    Header fields;
    fields.sealed = sealed;
    fields.logicalLength = static_cast<uint32_t>(m_fill);
    const uint8_t* plain = m_input.data();
    std::size_t plainLength = m_fill;
    if (m_config.codec != Codec::None && m_fill > 1) {
        uint8_t* target = sealed ? m_scratch.data() : payload;
        const std::size_t compressed = m_codec.compress(m_input.data(), m_fill, target, m_fill - 1);
        if (compressed > 0) {
            fields.payloadCodec = m_config.codec;
            plain = target;
            plainLength = compressed;
        }
    }
    fields.storedLength = static_cast<uint32_t>(plainLength + (sealed ? kTagSize : 0));
    writeFixed(fields, m_frame.data());

    FramePosition position = m_config.base;
    position.frameIndex += m_frames;
    const auto ad = associatedData(m_frame.data(), position);
    if (sealed) {
        uint8_t* nonce = m_frame.data() + kFixedSize;
        randombytes_buf(nonce, kNonceSize);
        unsigned long long written = 0;
        crypto_aead_xchacha20poly1305_ietf_encrypt(payload, &written, plain, plainLength, ad.data(), ad.size(),
                                                   nullptr, nonce, m_config.key->bytes.data());
    } else {
        if (plain != payload) std::memcpy(payload, plain, plainLength);
        const auto check = plainCheck(ad, payload, plainLength);
        std::memcpy(m_frame.data() + kFixedSize, check.data(), check.size());
    }

    StoredFrame frame;
    frame.index = position.frameIndex;
    frame.logicalOffset = m_logicalBytes;
    frame.storedOffset = m_storedBytes;
    frame.logicalLength = fields.logicalLength;
    frame.data = m_frame.data();
    frame.size = header + fields.storedLength;
    m_logicalBytes += m_fill;
    m_storedBytes += frame.size;
    ++m_frames;
    m_fill = 0;
    m_sink(frame);
}
