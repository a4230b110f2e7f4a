#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "manifest/BlockPieces.h"
#include "manifest/Manifest.h"
#include "stages/JobStages.h"

class FrameDecoder;

// The bytes of one piece of a file in pieces (ManifestPiece), from its
// stored bytes fed in order in chunks of any size: as they are or, with
// stages (the holder's), its frames decoded from its first frame's index,
// the bytes of that frame before the piece and those of the last one past
// it dropped. Every block is checked against the file's block digests
// (BlockCheck) before its last bytes leave. Every failure throws jobFailed
// with one line that starts with `name`; the object is spent then. One
// thread at a time.
class PieceBytes {
public:
    // Gets the piece's bytes in order; offset: where they go in the file.
    // `data` is valid only during the call.
    using Sink = std::function<void(const uint8_t* data, std::size_t length, uint64_t offset)>;

    // file and piece (one of file's pieces) must outlive this object; so
    // must stages, when given.
    PieceBytes(const ManifestFile& file, const ManifestPiece& piece, const JobStages* stages,
               std::string name, Sink sink);
    ~PieceBytes();
    PieceBytes(const PieceBytes&) = delete;
    PieceBytes& operator=(const PieceBytes&) = delete;

    // Takes the next stored bytes.
    void write(const uint8_t* data, std::size_t length);
    // After the piece's last stored byte: fails unless they held all of its
    // bytes, their last block whole.
    void finish();

private:
    void deliver(const uint8_t* data, std::size_t length);

    const ManifestPiece& m_piece;
    const std::string m_name;
    const Sink m_sink;
    BlockCheck m_check;
    std::unique_ptr<FrameDecoder> m_decoder;  // null: stored as they are
    uint64_t m_before = 0;                    // the first frame's bytes still to drop
    uint64_t m_done = 0;                      // the piece's bytes handed on
};
