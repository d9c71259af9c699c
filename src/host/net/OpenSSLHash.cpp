#include "host/Exceptions.h"
#include "host/net/Hash.h"

#include <openssl/evp.h>

namespace host::net {

std::string sha256(std::string_view bytes) {
    std::string digest(32, '\0');
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(digest.data()),
                   &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        throw RuntimeException("SHA-256 failed in libcrypto");
    }
    return digest;
}

} // namespace host::net
