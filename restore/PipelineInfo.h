#pragma once

#include <cstddef>

class CZebNetwork;
class ZebArchive;

// A restore stream's handles: the session head that messages to the media
// side go on, and the archive object its archive file is open on. A copy owns
// neither; both stay valid until the restore job is shut down.
struct PipelineInfo {
    CZebNetwork* sessionHead = nullptr;  // 0
    ZebArchive* archive = nullptr;       // 8
};

static_assert(sizeof(PipelineInfo) == 16);
static_assert(offsetof(PipelineInfo, archive) == 8);
