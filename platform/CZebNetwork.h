#pragma once

#include "platform/CQiError.h"
#include "platform/PlatformApi.h"

class zebsDatabuf_v2;

// A restore stream's session head: the channel to the media side that
// ZebArchive::openArchiveFile returns. The archive library owns it.
class ZEB_PLATFORM_API CZebNetwork {
public:
    struct Impl;
    // Made by the archive library only; takes over impl.
    explicit CZebNetwork(Impl* impl);
    ~CZebNetwork();

    CZebNetwork(const CZebNetwork&) = delete;
    CZebNetwork& operator=(const CZebNetwork&) = delete;

    // Sends message code with the given body (null for none). Returns only
    // when the channel no longer needs the body. An error result has a
    // negative code and a text.
    CQiError SendXDRMessage(unsigned long code, zebsDatabuf_v2* body, int arg1, int arg2,
                            bool& flag);

private:
    Impl* m_impl;
};
