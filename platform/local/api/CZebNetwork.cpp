// The session head: hands each message to the media side of the archive file
// it was opened for.

#include "platform/CZebNetwork.h"
#include "platform/FsrMessages.h"

#include <exception>
#include <string>

#include "platform/local/StepHooks.h"
#include "platform/local/api/SessionHead.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/media/MediaSide.h"
#include "platform/local/process/Context.h"

CZebNetwork::CZebNetwork(Impl* impl) : m_impl(impl) {}

CZebNetwork::~CZebNetwork() { delete m_impl; }

// arg1, arg2 and flag carry nothing the local media side needs.
CQiError CZebNetwork::SendXDRMessage(unsigned long code, zebsDatabuf_v2* body, int, int, bool&) {
    using localplatform::StepKind;
    const StepKind kind = code == FSR_MSG_SEEK_TO_OFFSET   ? StepKind::SeekSent
                          : code == FSR_MSG_CLOSE_ARCHIVE ? StepKind::CloseArchiveSent
                                                          : StepKind::Other;
    localplatform::crashPoint({kind, m_impl && m_impl->media ? m_impl->media->stream() : 0,
                               "SendXDRMessage", code});
    if (!m_impl || !m_impl->media) {
        return CQiError(-1, "local platform: this session head leads to no media side");
    }
    try {
        return m_impl->media->send(code, body);
    } catch (const std::exception& error) {
        const std::string text = localplatform::formatText(
            "message 0x%lX failed on the media side: %s", code, error.what());
        localplatform::platformError(text);
        return CQiError(-1, "local platform: " + text);
    }
}
