#pragma once

// A session head of the local platform: what a CZebNetwork holds. Internal
// to the local library; not installed.

#include <memory>

#include "platform/CZebNetwork.h"
#include "platform/local/media/MediaSide.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

// A session head leads to the media side of the archive file it was opened
// for; it shares that media side with the archive object.
struct CZebNetwork::Impl {
    std::shared_ptr<localplatform::MediaSide> media;
};

#pragma GCC visibility pop
