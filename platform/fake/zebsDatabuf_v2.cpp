// The fake message body buffer: behaves as the platform's own, and records
// its construction, body and destruction so that a rule can make them fail.

#include "platform/zebsDatabuf_v2.h"

#include <utility>

#include "platform/fake/FakeState.h"

using fakeplatform::Call;
using fakeplatform::currentState;
using fakeplatform::Op;
using fakeplatform::PlatformScope;
using fakeplatform::plainCall;

zebsDatabuf_v2::zebsDatabuf_v2() : m_data(nullptr), m_length(0) {
    PlatformScope scope;
    plainCall(Op::BufferMade);
}

// The body is always external: there is nothing of our own to free.
zebsDatabuf_v2::~zebsDatabuf_v2() {
    PlatformScope scope;
    plainCall(Op::BufferGone);
}

void zebsDatabuf_v2::setExternalBuffer(char* data, unsigned long length) {
    PlatformScope scope;
    plainCall(Op::SetExternalBuffer);
    m_data = data;
    m_length = length;
}

char* zebsDatabuf_v2::data() const { return m_data; }

unsigned long zebsDatabuf_v2::length() const { return m_length; }
