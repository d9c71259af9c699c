#include "host/Exceptions.h"
#include "host/net/Hash.h"

// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

namespace host::net {

std::string sha256(std::string_view bytes) {
    // Provider, hash object, data, finish: the sequence CNG has offered since Vista (the
    // one-call forms need Windows 10).
    std::string digest(32, '\0');
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (status >= 0) {
        status = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    }
    if (status >= 0) {
        status = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                static_cast<ULONG>(bytes.size()), 0);
    }
    if (status >= 0) {
        status = BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()),
                                  static_cast<ULONG>(digest.size()), 0);
    }
    if (hash) {
        BCryptDestroyHash(hash);
    }
    if (algorithm) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    if (status < 0) {
        throw RuntimeException("SHA-256 failed in CNG");
    }
    return digest;
}

} // namespace host::net
