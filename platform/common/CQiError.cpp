#include "platform/CQiError.h"

#include <utility>

CQiError::CQiError() : m_code(0) {}

CQiError::CQiError(int code, std::string text)
    : m_code(code), m_details(std::make_shared<const std::string>(std::move(text))) {}

CQiError::CQiError(const CQiError& other) = default;

CQiError& CQiError::operator=(const CQiError& other) = default;

CQiError::~CQiError() = default;

bool CQiError::IsError() const { return m_code < 0; }

std::string CQiError::AsString() const { return m_details ? *m_details : std::string(); }

int CQiError::code() const { return m_code; }
