#include "crypt_exception.h"

#include <utility>

crypt_exception::crypt_exception(std::string message)
    : m_message(std::move(message))
{
}

const char* crypt_exception::what() const noexcept
{
    return m_message.c_str();
}
