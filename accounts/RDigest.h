// MD4 (RFC 1320) and MD5 (RFC 1321), our own code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantor {

using RDigest128 = std::array<uint8_t, 16>;

RDigest128 MD4Digest(const void* data, size_t len);
RDigest128 MD5Digest(const void* data, size_t len);
inline RDigest128 MD4Digest(std::string_view s) {
  return MD4Digest(s.data(), s.size());
}
inline RDigest128 MD5Digest(std::string_view s) {
  return MD5Digest(s.data(), s.size());
}

// Lower-case hexadecimal form.
std::string DigestHex(const RDigest128& d);

}  // namespace vantor
