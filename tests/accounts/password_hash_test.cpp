// Stored password forms: the system library's "$...$" hashes beside DES.
#include <gtest/gtest.h>

#include "accounts/RCrypt.h"
#include "accounts/RPasswordHash.h"

namespace vantor {
namespace {

// Hashes made by the system's tools (openssl passwd, the crypt(3) library).
struct Vector {
  const char* password;
  const char* stored;
};
constexpr Vector kVectors[] = {
    {"pass word",
     "$6$saltsalt$cc1KsgmlKYtCcnNH8.sv7Fe8mca8fAso5fHlNrb1VZa5WYQ.L3ChTcx06ID.LoaXZAf9CZNraK43XCp7"
     "LxKHl1"},
    {"secret", "$5$abcdefgh$gruCpC7VkOTspMQTTSAR8mtlO9Upms.fwqE5y16JVM."},
    {"secret", "$y$j9T$F5Jx5fExrKuJdaLgkwODd.$c56XYHYZnJIPaH/RbQIX2B.LqN.Ufb644Sx1b.Xrx11"},
    {"secret", "$2b$05$abcdefghijklmnopqrstuuOQiyCxlgf/oeuTqixKmWdcYUh4Hjl0a"},
    {"secret", "abNANd1rDfiNc"},  // the DES form
};

// Every format the library knows checks, and only with the right password.
TEST(RPasswordHash, SystemFormats) {
  for (const auto& v : kVectors) {
    SCOPED_TRACE(v.stored);
    EXPECT_EQ(CheckPasswordHash(v.password, v.stored), RPasswordCheck::Match);
    EXPECT_EQ(CheckPasswordHash("Secret", v.stored), RPasswordCheck::Mismatch);
    EXPECT_EQ(CheckPasswordHash("", v.stored), RPasswordCheck::Mismatch);
    EXPECT_EQ(CheckPasswordHash(v.stored, v.stored), RPasswordCheck::Mismatch);
    // A NUL byte does not cut the password short.
    EXPECT_EQ(CheckPasswordHash(std::string(v.password) + std::string("\0x", 2), v.stored),
              RPasswordCheck::Mismatch);
  }
}

// Values that are no hash are told apart from a wrong password.
TEST(RPasswordHash, UncheckableValues) {
  const char* values[] = {
      "secret",                  // plain text under EncryptPasswords
      "$6$saltsalt",             // a bare setting
      "$6$saltsalt$cc1KsgmlKY",  // cut off
      "$9$abc$def",              // no such method
      "$y$",
      "abNANd1rDfiN",   // DES one short
      "abNANd1rDfiN!",  // DES with a foreign character
  };
  for (const char* v : values)
    EXPECT_EQ(CheckPasswordHash("secret", v), RPasswordCheck::Unchecked) << v;
}

// New hashes are yescrypt with a fresh salt each time, and check.
TEST(RPasswordHash, YescryptHashes) {
  auto a = YescryptHash("pw 1");
  auto b = YescryptHash("pw 1");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->rfind("$y$", 0), 0u);
  EXPECT_NE(*a, *b);
  EXPECT_EQ(CheckPasswordHash("pw 1", *a), RPasswordCheck::Match);
  EXPECT_EQ(CheckPasswordHash("pw 2", *a), RPasswordCheck::Mismatch);
  EXPECT_FALSE(YescryptHash(std::string("a\0b", 3)));
}

TEST(RPasswordHash, SameBytes) {
  EXPECT_TRUE(SameBytes("", ""));
  EXPECT_TRUE(SameBytes("abc", "abc"));
  EXPECT_FALSE(SameBytes("abc", "abd"));
  EXPECT_FALSE(SameBytes("abc", "ab"));
  EXPECT_FALSE(SameBytes(std::string("a\0", 2), "a"));
}

}  // namespace
}  // namespace vantor
