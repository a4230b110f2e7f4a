#include "platform/zebsDatabuf_v2.h"

zebsDatabuf_v2::zebsDatabuf_v2() : m_data(nullptr), m_length(0) {}

// The body is always external: there is nothing of our own to free.
zebsDatabuf_v2::~zebsDatabuf_v2() = default;

void zebsDatabuf_v2::setExternalBuffer(char* data, unsigned long length) {
    m_data = data;
    m_length = length;
}

char* zebsDatabuf_v2::data() const { return m_data; }

unsigned long zebsDatabuf_v2::length() const { return m_length; }
