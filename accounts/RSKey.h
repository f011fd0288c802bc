// S/KEY one-time passwords (RFC 1760 / RFC 2289) with MD4 and MD5, the
// six-word encoding, the SKEYValues state record and pass-phrase scrambling.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

using ROtpBytes = std::array<uint8_t, 8>;

enum RSKeyMethod : int { SKEY_MD4 = 4, SKEY_MD5 = 5 };

// Seeds are 1 to 16 characters without blanks or control characters.
bool SKeyValidSeed(std::string_view seed);
// Key crunch: hash(lower-cased seed + pass phrase) folded to 64 bits.
// nullopt for an invalid seed or method.
std::optional<ROtpBytes> SKeyKeyCrunch(int method, std::string_view seed, std::string_view pass);
// Step function f: hash the 8 bytes and fold.
ROtpBytes SKeyStep(int method, const ROtpBytes& v);
// f applied `count` times to the key crunch.
std::optional<ROtpBytes> SKeyCompute(int method, std::string_view seed, std::string_view pass,
                                     uint32_t count);

// 16 upper-case hexadecimal digits.
std::string SKeyToHex(const ROtpBytes& v);
// Six dictionary words separated by single blanks.
std::string SKeyToWords(const ROtpBytes& v);
// Six words (input cut at 64 characters, any non-letter separates, digits
// 1, 0, 5 read as L, O, S, checksum checked).
std::optional<ROtpBytes> SKeyDecodeWords(std::string_view text);
// Hexadecimal (at most 199 characters read, other characters skipped),
// exactly 8 bytes.
std::optional<ROtpBytes> SKeyDecodeHex(std::string_view text);
// Words first, then hexadecimal.
std::optional<ROtpBytes> SKeyDecodeResponse(std::string_view text);

// The RFC 2289 dictionary: index 0..2047, nullptr outside.
const char* SKeyWord(uint32_t index);

// A fresh seed "word%03d" from the clock, different (ignoring case) from
// `avoid`.
std::string SKeyNewSeed(int64_t nowSeconds, std::string_view avoid);

// The SKEYValues record: "time session LAST sequence seed".
struct SKeyValuesStr {
  uint64_t time = 0;
  uint64_t session = 0;
  std::string last;  // 16 hex digits
  uint32_t sequence = 0;
  std::string seed;
};
// Parses the five fields; nullopt when any is missing or malformed.
std::optional<SKeyValuesStr> ParseSKeyValues(std::string_view text);
std::string FormatSKeyValues(const SKeyValuesStr& v);
inline constexpr std::string_view SKEY_PLACEHOLDER = "0 0 1234567890123456 0 InvalidPassword";

// Pass-phrase scrambling for storage with EncryptPasswords on: XOR with a
// fixed 32-byte key, written as upper-case hex. Unscramble skips non-hex
// characters.
std::string ScramblePassPhrase(std::string_view plain);
std::string UnscramblePassPhrase(std::string_view stored);

// An S/KEY account's record (SKEYValues text) under its account name as
// the store resolves it (lower case).
struct RSKeyRecordStr {
  std::string account;
  std::string record;
};
// What an accepted one-time password changed: the record it was checked
// against and the one it left.
struct RSKeyUseStr {
  std::string account;
  std::string before;
  std::string after;
};

// "OTP S/KEY MD4" -> 4, "OTP S/KEY MD5" -> 5 (any case), else 0.
int SKeyMethodFromType(std::string_view passwordType);

}  // namespace vantor
