// The fake message channel: records every send, decodes the bodies it knows,
// and answers with the deciding rule's result, else success.

#include "platform/CZebNetwork.h"

#include <cstring>
#include <utility>

#include "platform/FsrMessages.h"
#include "platform/fake/FakeState.h"
#include "platform/zebsDatabuf_v2.h"

using fakeplatform::Call;
using fakeplatform::currentState;
using fakeplatform::Op;
using fakeplatform::PlatformScope;
using fakeplatform::SentMessage;

namespace {

// The message as it was at the send. A seek body holds its elements by
// address, so they are copied through the pointer while it is still valid.
SentMessage decode(unsigned long code, const zebsDatabuf_v2* body, int arg1, int arg2,
                   bool flag) {
    SentMessage message;
    message.code = code;
    message.hasBuffer = body != nullptr;
    message.bufferAddress = body;
    message.bodyAddress = body ? body->data() : nullptr;
    message.bodyLength = body ? body->length() : 0;
    if (body && body->data()) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(body->data());
        message.body.assign(bytes, bytes + body->length());
    }
    message.arg1 = arg1;
    message.arg2 = arg2;
    message.flagOnEntry = flag;

    if (code == FSR_MSG_OPEN_ARCHIVE && message.body.size() == sizeof(FSROpenArchive)) {
        FSROpenArchive open;
        std::memcpy(&open, message.body.data(), sizeof open);
        message.open = open;
    }
    if ((code == FSR_MSG_SEEK_TO_OFFSET || code == FSR_MSG_SEEK_FOLLOW_UP) &&
        message.body.size() == sizeof(FSRSeekArchiveArray)) {
        // Field by field: bytes 4-7 are padding that nobody writes.
        FSRSeekArchiveArray seek;
        std::memcpy(&seek.count, message.body.data() + offsetof(FSRSeekArchiveArray, count),
                    sizeof seek.count);
        std::memcpy(&seek.elements,
                    message.body.data() + offsetof(FSRSeekArchiveArray, elements),
                    sizeof seek.elements);
        message.seek = seek;
        if (seek.count > 0 && seek.elements) {
            message.seekElements.assign(seek.elements, seek.elements + seek.count);
        }
    }
    return message;
}

}  // namespace

CZebNetwork::CZebNetwork(Impl* impl) : m_impl(impl) {}

CZebNetwork::~CZebNetwork() { delete m_impl; }

CQiError CZebNetwork::SendXDRMessage(unsigned long code, zebsDatabuf_v2* body, int arg1,
                                     int arg2, bool& flag) {
    PlatformScope scope;
    auto& state = currentState(fakeplatform::opName(Op::SendXDRMessage));
    Call call;
    call.op = Op::SendXDRMessage;
    call.session = m_impl->number;
    if (state.journaling()) {
        call.message = decode(code, body, arg1, arg2, flag);
    } else {
        call.message.emplace().code = code;  // all that rules match on
    }
    const CQiError result = state.sendResult(state.enter(call));
    call.result = result.code();
    state.record(std::move(call));
    return result;
}
