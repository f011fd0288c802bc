#include "accounts/RSKey.h"

#include <cctype>
#include <cstring>

#include "accounts/RDigest.h"
#include "accounts/ROtpDictionary.h"
#include "util/RFormat.h"
#include "util/RText.h"

namespace vantor {
namespace {

// Fixed key for pass-phrase scrambling: 31 printable characters and a NUL.
// It only keeps pass phrases from being read at a glance in the file.
constexpr char kScrambleKey[32] = "q7#Vantor!OTP-pass/phrase~Z2k9w";
static_assert(sizeof kScrambleKey == 32);

constexpr uint32_t kShortWords = 571;  // entries 0..570 have 1-3 letters

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

ROtpBytes Fold(const RDigest128& d) {
  ROtpBytes out;
  for (int i = 0; i < 8; ++i) out[i] = d[i] ^ d[i + 8];
  return out;
}

RDigest128 Hash(int method, const void* p, size_t n) {
  return method == SKEY_MD4 ? MD4Digest(p, n) : MD5Digest(p, n);
}

// Bits counted from the most significant bit of byte 0.
uint32_t Extract(const uint8_t* s, int start, int length) {
  uint32_t x = (uint32_t(s[start / 8]) << 16) | (uint32_t(s[start / 8 + 1]) << 8) |
               uint32_t(s[start / 8 + 2]);
  x >>= 24 - (length + (start % 8));
  return x & ((1u << length) - 1);
}

void Insert(uint8_t* s, uint32_t x, int start, int length) {
  int shift = (8 - ((start + length) % 8)) % 8;
  uint32_t y = x << shift;
  uint32_t mask = ((1u << length) - 1) << shift;
  int first = start / 8;
  int last = (start + length - 1) / 8;
  for (int b = last; b >= first; --b) {
    s[b] = static_cast<uint8_t>((s[b] & ~mask) | (y & mask));
    y >>= 8;
    mask >>= 8;
  }
}

uint32_t Checksum(const uint8_t* cp) {
  uint32_t p = 0;
  for (int i = 0; i < 64; i += 2) p += Extract(cp, i, 2);
  return p & 3;
}

int FindWord(const std::string& w) {
  uint32_t lo = w.size() < 4 ? 0 : kShortWords;
  uint32_t hi = w.size() < 4 ? kShortWords : 2048;
  // Each half of the dictionary is sorted alphabetically.
  while (lo < hi) {
    uint32_t mid = (lo + hi) / 2;
    int c = std::strcmp(kOtpWords[mid], w.c_str());
    if (c == 0) return static_cast<int>(mid);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return -1;
}

bool ParseUnsigned(std::string_view s, uint64_t& out) {
  if (s.empty() || s.size() > 19) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  out = v;
  return true;
}

}  // namespace

bool SKeyValidSeed(std::string_view seed) {
  if (seed.empty() || seed.size() > 16) return false;
  for (char c : seed) {
    auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u >= 0x7F) return false;
  }
  return true;
}

std::optional<ROtpBytes> SKeyKeyCrunch(int method, std::string_view seed, std::string_view pass) {
  if ((method != SKEY_MD4 && method != SKEY_MD5) || !SKeyValidSeed(seed)) return std::nullopt;
  std::string buf;
  buf.reserve(seed.size() + pass.size());
  for (char c : seed) buf += AsciiLower(c);
  buf.append(pass);
  return Fold(Hash(method, buf.data(), buf.size()));
}

ROtpBytes SKeyStep(int method, const ROtpBytes& v) {
  return Fold(Hash(method, v.data(), 8));
}

std::optional<ROtpBytes> SKeyCompute(int method, std::string_view seed, std::string_view pass,
                                     uint32_t count) {
  auto v = SKeyKeyCrunch(method, seed, pass);
  if (!v) return std::nullopt;
  for (uint32_t i = 0; i < count; ++i) *v = SKeyStep(method, *v);
  return v;
}

std::string SKeyToHex(const ROtpBytes& v) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : v) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

std::string SKeyToWords(const ROtpBytes& v) {
  uint8_t cp[11] = {};
  std::memcpy(cp, v.data(), 8);
  cp[8] = static_cast<uint8_t>(Checksum(cp) << 6);
  std::string out;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) out += ' ';
    out += kOtpWords[Extract(cp, 11 * i, 11)];
  }
  return out;
}

std::optional<ROtpBytes> SKeyDecodeWords(std::string_view text) {
  if (text.size() > 64) text = text.substr(0, 64);
  std::string words[6];
  int count = 0;
  std::string cur;
  auto flush = [&]() -> bool {
    if (cur.empty()) return true;
    if (count == 6 || cur.size() > 4) return false;
    words[count++] = cur;
    cur.clear();
    return true;
  };
  for (char c : text) {
    // Digits that look like letters are read as those letters.
    if (c == '1') c = 'L';
    if (c == '0') c = 'O';
    if (c == '5') c = 'S';
    if (std::isalpha(static_cast<unsigned char>(c))) {
      cur += AsciiUpper(c);
      if (cur.size() > 4) return std::nullopt;
    } else if (!flush()) {
      return std::nullopt;
    }
  }
  if (!flush() || count != 6) return std::nullopt;
  uint8_t cp[11] = {};
  for (int i = 0; i < 6; ++i) {
    int idx = FindWord(words[i]);
    if (idx < 0) return std::nullopt;
    Insert(cp, static_cast<uint32_t>(idx), 11 * i, 11);
  }
  if (Checksum(cp) != Extract(cp, 64, 2)) return std::nullopt;
  ROtpBytes out;
  std::memcpy(out.data(), cp, 8);
  return out;
}

std::optional<ROtpBytes> SKeyDecodeHex(std::string_view text) {
  if (text.size() > 199) text = text.substr(0, 199);
  ROtpBytes out{};
  size_t digits = 0;
  for (char c : text) {
    int v = HexValue(c);
    if (v < 0) continue;
    if (digits == 16) return std::nullopt;
    out[digits / 2] = static_cast<uint8_t>((out[digits / 2] << 4) | v);
    ++digits;
  }
  if (digits != 16) return std::nullopt;
  return out;
}

std::optional<ROtpBytes> SKeyDecodeResponse(std::string_view text) {
  if (auto w = SKeyDecodeWords(text)) return w;
  return SKeyDecodeHex(text);
}

const char* SKeyWord(uint32_t index) {
  return index < 2048 ? kOtpWords[index] : nullptr;
}

std::string SKeyNewSeed(int64_t nowSeconds, std::string_view avoid) {
  ROtpBytes v;
  auto t = static_cast<uint32_t>(nowSeconds);
  for (int i = 0; i < 2; ++i) {
    v[4 * i + 0] = static_cast<uint8_t>(t);
    v[4 * i + 1] = static_cast<uint8_t>(t >> 8);
    v[4 * i + 2] = static_cast<uint8_t>(t >> 16);
    v[4 * i + 3] = static_cast<uint8_t>(t >> 24);
  }
  for (int guard = 0; guard < 1000; ++guard) {
    for (int i = 0; i < 10; ++i) v = SKeyStep(SKEY_MD5, v);
    uint32_t w0 =
        uint32_t(v[0]) | (uint32_t(v[1]) << 8) | (uint32_t(v[2]) << 16) | (uint32_t(v[3]) << 24);
    uint32_t w1 =
        uint32_t(v[4]) | (uint32_t(v[5]) << 8) | (uint32_t(v[6]) << 16) | (uint32_t(v[7]) << 24);
    std::string seed = RFormat("%s%03d", kOtpWords[kShortWords + w0 % 1477], w1 % 1000);
    bool same = seed.size() == avoid.size();
    for (size_t i = 0; same && i < seed.size(); ++i)
      same = AsciiLower(seed[i]) == AsciiLower(avoid[i]);
    if (!same) return seed;
  }
  return "seed000";  // unreachable in practice: the step function does not cycle that fast
}

std::optional<SKeyValuesStr> ParseSKeyValues(std::string_view text) {
  std::string_view tok[5];
  int n = 0;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size()) break;
    size_t j = i;
    while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
    if (n == 5) return std::nullopt;
    tok[n++] = text.substr(i, j - i);
    i = j;
  }
  if (n != 5) return std::nullopt;
  SKeyValuesStr v;
  uint64_t seq = 0;
  if (!ParseUnsigned(tok[0], v.time) || !ParseUnsigned(tok[1], v.session) ||
      !ParseUnsigned(tok[3], seq) || seq > 0xFFFFFFFFu)
    return std::nullopt;
  if (tok[2].size() != 16) return std::nullopt;
  for (char c : tok[2]) {
    if (HexValue(c) < 0) return std::nullopt;
    v.last += AsciiUpper(c);
  }
  if (!SKeyValidSeed(tok[4])) return std::nullopt;
  v.sequence = static_cast<uint32_t>(seq);
  v.seed = std::string(tok[4]);
  return v;
}

std::string FormatSKeyValues(const SKeyValuesStr& v) {
  // Both counters are unsigned: a signed conversion would write a large
  // stored time back as a negative number the parser then refuses.
  return RFormat("%lu %lu %s %u %s", v.time, v.session, v.last, v.sequence, v.seed);
}

std::string ScramblePassPhrase(std::string_view plain) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(plain.size() * 2);
  for (size_t i = 0; i < plain.size(); ++i) {
    auto b = static_cast<uint8_t>(plain[i] ^ kScrambleKey[i % 32]);
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string UnscramblePassPhrase(std::string_view stored) {
  std::string out;
  int hi = -1;
  for (char c : stored) {
    int v = HexValue(c);
    if (v < 0) continue;
    if (hi < 0) {
      hi = v;
      continue;
    }
    out += static_cast<char>(((hi << 4) | v) ^ kScrambleKey[out.size() % 32]);
    hi = -1;
  }
  return out;
}

int SKeyMethodFromType(std::string_view t) {
  auto eq = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
  };
  if (eq(t, "OTP S/KEY MD4")) return SKEY_MD4;
  if (eq(t, "OTP S/KEY MD5")) return SKEY_MD5;
  return 0;
}

}  // namespace vantor
