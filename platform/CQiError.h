#pragma once

#include <memory>
#include <string>

#include "platform/PlatformApi.h"

// Result of a message send: a signed code, negative for an error, and the
// error's text. Copies share the details.
class ZEB_PLATFORM_API CQiError {
public:
    // Success: code 0, no text.
    CQiError();
    CQiError(int code, std::string text);
    CQiError(const CQiError& other);
    CQiError& operator=(const CQiError& other);
    ~CQiError();

    // True exactly when the code is negative.
    bool IsError() const;
    // The error's text; empty for a result made without one.
    std::string AsString() const;
    int code() const;

private:
    int m_code;
    std::shared_ptr<const std::string> m_details;
};
