#pragma once

// The platform's maintained hash implementation, one file per OS: a hash written by hand
// is one more thing to get wrong.

#include <string>
#include <string_view>

namespace host::net {

// FIPS 180-4 SHA-256 of the bytes, as 32 raw bytes; raises RuntimeException when the
// library fails.
std::string sha256(std::string_view bytes);

} // namespace host::net
