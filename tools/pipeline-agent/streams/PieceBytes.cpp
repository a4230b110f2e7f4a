#include "streams/PieceBytes.h"

#include <algorithm>

#include "base/AgentError.h"
#include "stages/FrameDecoder.h"

PieceBytes::PieceBytes(const ManifestFile& file, const ManifestPiece& piece,
                       const JobStages* stages, std::string name, Sink sink)
    : m_piece(piece), m_name(std::move(name)), m_sink(std::move(sink)),
      m_check(file, piece.sourceOffset) {
    if (!stages) return;
    StageConfig config = stages->part(file.name, piece.archive.stream, stages->frameSize);
    config.base.frameIndex = piece.frameIndex;
    m_before = piece.frameOffset;
    m_decoder = std::make_unique<FrameDecoder>(config, [this](const uint8_t* data,
                                                              std::size_t length) {
        const auto drop = static_cast<std::size_t>(std::min<uint64_t>(m_before, length));
        m_before -= drop;
        // What the last frame holds past the piece is another's.
        const auto keep = static_cast<std::size_t>(
            std::min<uint64_t>(length - drop, m_piece.size - m_done));
        if (keep > 0) deliver(data + drop, keep);
    });
}

PieceBytes::~PieceBytes() = default;

void PieceBytes::write(const uint8_t* data, std::size_t length) {
    if (m_decoder) {
        m_decoder->write(data, length);
    } else {
        deliver(data, length);
    }
}

void PieceBytes::deliver(const uint8_t* data, std::size_t length) {
    if (length > m_piece.size - m_done) {
        throw jobFailed(m_name + ": the frames hold more than the piece's " +
                        std::to_string(m_piece.size) + " bytes");
    }
    const std::size_t bad = m_check.update(data, length);
    if (bad != SIZE_MAX) {
        throw jobFailed(m_name + ": block " + std::to_string(bad) +
                        " does not match the manifest's checksum; it is damaged");
    }
    m_sink(data, length, m_piece.sourceOffset + m_done);
    m_done += length;
}

void PieceBytes::finish() {
    if (m_decoder) m_decoder->finish();
    if (m_done != m_piece.size || !m_check.atBlockEnd()) {
        throw jobFailed(m_name + ": its stored bytes hold " + std::to_string(m_done) +
                        " of the piece's " + std::to_string(m_piece.size) +
                        " bytes; it is damaged");
    }
}
