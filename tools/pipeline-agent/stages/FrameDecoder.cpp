#include "stages/FrameDecoder.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

#include "base/AgentError.h"
#include "stages/FrameFormat.h"
#include "stages/Sodium.h"

using namespace frame_format;

FrameDecoder::FrameDecoder(StageConfig config, Sink sink)
    : m_config(std::move(config)), m_sink(std::move(sink)), m_codec(m_config.codec, m_config.level) {
    if (m_config.frameSize == 0 || m_config.frameSize > kMaxFrameSize)
        throw std::invalid_argument("frame size must be 1 byte to 1 MiB");
    ensureSodium();
    m_frame.resize(headerSize(m_config.key.has_value()) + m_config.frameSize + kTagSize);
    m_scratch.resize(m_config.frameSize);
    m_output.resize(m_config.frameSize);
}

void FrameDecoder::fail(const std::string& what) const {
    FramePosition position = m_config.base;
    position.frameIndex += m_frames;
    throw jobFailed(frameName(m_config.fileName, position) + ": " + what);
}

void FrameDecoder::write(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        // Gather the fixed header first, then the rest of the frame it
        // announces.
        const std::size_t want = (m_need == 0 ? kFixedSize : m_need) - m_have;
        const std::size_t take = std::min(length, want);
        std::memcpy(m_frame.data() + m_have, bytes, take);
        m_have += take;
        bytes += take;
        length -= take;
        if (m_need == 0 && m_have == kFixedSize) {
            Header header;
            const std::string problem = readFixed(m_frame.data(), m_config.frameSize, header);
            if (!problem.empty()) fail("bad frame header: " + problem);
            if (header.sealed && !m_config.key) fail("the frame is sealed, but no key was given");
            if (!header.sealed && m_config.key) fail("the frame is not sealed, but the job is encrypted");
            m_need = headerSize(header.sealed) + header.storedLength;
        }
        if (m_need != 0 && m_have == m_need) decodeFrame();
    }
}

void FrameDecoder::finish() {
    if (m_have != 0)
        fail("cut short: " + std::to_string(m_have) + " of " +
             (m_need == 0 ? std::string("its header's ") + std::to_string(kFixedSize)
                          : std::to_string(m_need)) +
             " bytes");
}

void FrameDecoder::decodeFrame() {
    Header header;
    readFixed(m_frame.data(), m_config.frameSize, header);  // checked when the header came in
    const std::size_t headerLength = headerSize(header.sealed);
    const uint8_t* payload = m_frame.data() + headerLength;
    FramePosition position = m_config.base;
    position.frameIndex += m_frames;
    const auto ad = associatedData(m_frame.data(), position);

    const uint8_t* plain = payload;
    std::size_t plainLength = header.storedLength;
    if (header.sealed) {
        // Raw payloads open straight into the output; compressed ones into
        // scratch, to be decompressed from there.
        uint8_t* target = header.payloadCodec == Codec::None ? m_output.data() : m_scratch.data();
        unsigned long long opened = 0;
        if (crypto_aead_xchacha20poly1305_ietf_decrypt(target, &opened, nullptr, payload, header.storedLength,
                                                       ad.data(), ad.size(), m_frame.data() + kFixedSize,
                                                       m_config.key->bytes.data()) != 0)
            fail("the frame does not open: damaged, out of place, or from another file, stream, job or key");
        plain = target;
        plainLength = static_cast<std::size_t>(opened);
    } else {
        const auto check = plainCheck(ad, payload, plainLength);
        if (sodium_memcmp(check.data(), m_frame.data() + kFixedSize, check.size()) != 0)
            fail("the frame does not match its check: damaged, out of place, or from another file, stream or job");
    }

    const uint8_t* logical = plain;
    if (header.payloadCodec != Codec::None) {
        if (!m_codec.decompress(header.payloadCodec, plain, plainLength, m_output.data(), header.logicalLength))
            fail(std::string("the frame's ") + codecName(header.payloadCodec) + " payload does not decompress to " +
                 std::to_string(header.logicalLength) + " bytes");
        logical = m_output.data();
    }

    m_logicalBytes += header.logicalLength;
    m_storedBytes += m_need;
    ++m_frames;
    m_have = 0;
    m_need = 0;
    m_sink(logical, header.logicalLength);
}
