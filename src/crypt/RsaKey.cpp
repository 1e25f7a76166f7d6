#include "RsaKey.h"

RsaKey::~RsaKey()
{
    if (m_loaded)
        rsa_free(&m_key);
}
