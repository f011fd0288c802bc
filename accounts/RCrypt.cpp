#include "accounts/RCrypt.h"

#include <cstdint>
#include <cstring>

#include "platform/RRandom.h"

namespace vantor {
namespace {

// DES tables (FIPS 46), 1-based bit numbers.
constexpr uint8_t kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                             62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                             57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                             61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr uint8_t kFP[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                             38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                             36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                             34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};
constexpr uint8_t kPC1C[28] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                               10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36};
constexpr uint8_t kPC1D[28] = {63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                               14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr uint8_t kPC2C[24] = {14, 17, 11, 24, 1,  5, 3,  28, 15, 6,  21, 10,
                               23, 19, 12, 4,  26, 8, 16, 7,  27, 20, 13, 2};
constexpr uint8_t kPC2D[24] = {41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                               44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr uint8_t kE[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
                            12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
                            22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// One crypt computation's state. Everything lives on the stack of the call:
// the salt perturbs a private copy of the E table, so concurrent or
// interleaved calls cannot disturb each other.
struct DesState {
  uint8_t ks[16][48];
  uint8_t e[48];

  void SetKey(const uint8_t key[64]) {
    uint8_t c[28], d[28];
    for (int i = 0; i < 28; ++i) {
      c[i] = key[kPC1C[i] - 1];
      d[i] = key[kPC1D[i] - 1];
    }
    for (int i = 0; i < 16; ++i) {
      for (int k = 0; k < kShifts[i]; ++k) {
        uint8_t t = c[0];
        std::memmove(c, c + 1, 27);
        c[27] = t;
        t = d[0];
        std::memmove(d, d + 1, 27);
        d[27] = t;
      }
      for (int j = 0; j < 24; ++j) {
        ks[i][j] = c[kPC2C[j] - 1];
        ks[i][j + 24] = d[kPC2D[j] - 28 - 1];
      }
    }
  }

  void Encrypt(uint8_t block[64]) const {
    uint8_t lr[64];
    for (int j = 0; j < 64; ++j) lr[j] = block[kIP[j] - 1];
    uint8_t* l = lr;
    uint8_t* r = lr + 32;
    for (int i = 0; i < 16; ++i) {
      uint8_t pre[48];
      for (int j = 0; j < 48; ++j) pre[j] = r[e[j] - 1] ^ ks[i][j];
      uint8_t f[32];
      for (int j = 0; j < 8; ++j) {
        const uint8_t* b = pre + 6 * j;
        int idx = (b[0] << 5) | (b[5] << 4) | (b[1] << 3) | (b[2] << 2) | (b[3] << 1) | b[4];
        uint8_t k = kS[j][idx];
        f[4 * j + 0] = (k >> 3) & 1;
        f[4 * j + 1] = (k >> 2) & 1;
        f[4 * j + 2] = (k >> 1) & 1;
        f[4 * j + 3] = k & 1;
      }
      for (int j = 0; j < 32; ++j) {
        uint8_t t = r[j];
        r[j] = l[j] ^ f[kP[j] - 1];
        l[j] = t;
      }
    }
    // The last round does not swap: undo the swap of the loop.
    for (int j = 0; j < 32; ++j) {
      uint8_t t = l[j];
      l[j] = r[j];
      r[j] = t;
    }
    for (int j = 0; j < 64; ++j) block[j] = lr[kFP[j] - 1];
  }
};

int SaltValue(char c) {
  if (c == '.') return 0;
  if (c == '/') return 1;
  if (c >= '0' && c <= '9') return c - '0' + 2;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 12;
  if (c >= 'a' && c <= 'z') return c - 'a' + 38;
  return -1;
}

char SaltChar(int v) {
  static constexpr char kAlphabet[] =
      "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  return kAlphabet[v & 63];
}

}  // namespace

std::string Crypt(std::string_view key, std::string_view salt) {
  if (salt.empty()) return {};
  char s0 = salt[0];
  // A one-character salt is used twice, so the hash it produces verifies
  // against its own first two characters.
  char s1 = salt.size() >= 2 && salt[1] != '\0' ? salt[1] : s0;
  int v0 = SaltValue(s0);
  int v1 = SaltValue(s1);
  if (v0 < 0 || v1 < 0) return {};

  uint8_t block[66] = {};
  for (size_t i = 0, bit = 0; i < key.size() && i < 8 && key[i] != '\0'; ++i, ++bit) {
    auto c = static_cast<uint8_t>(key[i]);
    for (int j = 0; j < 7; ++j, ++bit) block[bit] = (c >> (6 - j)) & 1;
  }
  DesState des;
  des.SetKey(block);
  std::memcpy(des.e, kE, sizeof des.e);
  int salts[2] = {v0, v1};
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 6; ++j) {
      if ((salts[i] >> j) & 1) {
        uint8_t t = des.e[6 * i + j];
        des.e[6 * i + j] = des.e[6 * i + j + 24];
        des.e[6 * i + j + 24] = t;
      }
    }
  }
  std::memset(block, 0, sizeof block);
  for (int i = 0; i < 25; ++i) des.Encrypt(block);

  std::string out;
  out.reserve(13);
  out += s0;
  out += s1;
  for (int i = 0; i < 11; ++i) {
    int c = 0;
    for (int j = 0; j < 6; ++j) c = (c << 1) | block[6 * i + j];
    out += SaltChar(c);
  }
  return out;
}

std::string NewCryptSalt() {
  // 26 * 9 = 234: bytes from 234 up are drawn again, so every letter is
  // equally likely.
  std::string salt;
  while (salt.size() < 2) {
    unsigned char b[8];
    if (!RandomBytes(b, sizeof b)) return std::string();
    for (unsigned char x : b) {
      if (x < 234 && salt.size() < 2) salt += static_cast<char>('a' + x % 26);
    }
  }
  return salt;
}

}  // namespace vantor
