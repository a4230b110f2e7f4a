#pragma once

#include "platform/PlatformApi.h"

// The body of a message. A default-constructed buffer has none. It refers to
// an external body without taking it over, and frees nothing it did not
// allocate itself.
class ZEB_PLATFORM_API zebsDatabuf_v2 {
public:
    zebsDatabuf_v2();
    ~zebsDatabuf_v2();

    zebsDatabuf_v2(const zebsDatabuf_v2&) = delete;
    zebsDatabuf_v2& operator=(const zebsDatabuf_v2&) = delete;

    // Makes the caller's length bytes at data the body; they must outlive
    // every send of this buffer.
    void setExternalBuffer(char* data, unsigned long length);
    // The body, or null and 0 when there is none.
    char* data() const;
    unsigned long length() const;

private:
    char* m_data;
    unsigned long m_length;
};
