#pragma once

#include <exception>
#include <string>

/// The one exception type of the project: a libtomcrypt failure inside the crypto helper unit.
/// Callers catch it where they call the unit; it never crosses into the task or UI code.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message);

    /// The message given to the constructor, for example "rsa_import: Invalid input packet.".
    const char* what() const noexcept override;

private:
    std::string m_message;
};
