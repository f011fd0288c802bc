#include "accounts/RDigest.h"

#include <cstring>

namespace vantor {
namespace {

inline uint32_t Rol(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadLE(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void StoreLE(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

using BlockFn = void (*)(uint32_t st[4], const uint8_t block[64]);

void MD4Block(uint32_t st[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLE(block + 4 * i);
  uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
  auto F = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); };
  auto G = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); };
  auto H = [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; };
  static constexpr int r1[4] = {3, 7, 11, 19};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = Rol(a + F(b, c, d) + x[i], r1[i % 4]);
    a = d, d = c, c = b, b = t;
  }
  static constexpr int o2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
  static constexpr int r2[4] = {3, 5, 9, 13};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = Rol(a + G(b, c, d) + x[o2[i]] + 0x5A827999u, r2[i % 4]);
    a = d, d = c, c = b, b = t;
  }
  static constexpr int o3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  static constexpr int r3[4] = {3, 9, 11, 15};
  for (int i = 0; i < 16; ++i) {
    uint32_t t = Rol(a + H(b, c, d) + x[o3[i]] + 0x6ED9EBA1u, r3[i % 4]);
    a = d, d = c, c = b, b = t;
  }
  st[0] += a, st[1] += b, st[2] += c, st[3] += d;
}

constexpr uint32_t kMD5T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kMD5S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                           5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                           4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                           6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

void MD5Block(uint32_t st[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLE(block + 4 * i);
  uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + Rol(a + f + kMD5T[i] + x[g], kMD5S[i]);
    a = t;
  }
  st[0] += a, st[1] += b, st[2] += c, st[3] += d;
}

// MD4 and MD5 share padding and length encoding (little-endian bit count).
RDigest128 Run(BlockFn fn, const void* data, size_t len) {
  uint32_t st[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
  const auto* p = static_cast<const uint8_t*>(data);
  size_t left = len;
  while (left >= 64) {
    fn(st, p);
    p += 64;
    left -= 64;
  }
  uint8_t tail[128] = {};
  if (left > 0) std::memcpy(tail, p, left);
  tail[left] = 0x80;
  size_t tailLen = (left < 56) ? 64 : 128;
  uint64_t bits = static_cast<uint64_t>(len) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLen - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  fn(st, tail);
  if (tailLen == 128) fn(st, tail + 64);
  RDigest128 out;
  for (int i = 0; i < 4; ++i) StoreLE(out.data() + 4 * i, st[i]);
  return out;
}

}  // namespace

RDigest128 MD4Digest(const void* data, size_t len) {
  return Run(MD4Block, data, len);
}
RDigest128 MD5Digest(const void* data, size_t len) {
  return Run(MD5Block, data, len);
}

std::string DigestHex(const RDigest128& d) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  s.reserve(32);
  for (uint8_t b : d) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

}  // namespace vantor
