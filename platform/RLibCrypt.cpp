#include "platform/RLibCrypt.h"

#include <crypt.h>

#include <cstring>
#include <memory>

namespace vantor {

std::optional<std::string> LibCrypt(std::string_view key, std::string_view setting) {
  if (key.find('\0') != std::string_view::npos) return std::nullopt;
  if (setting.empty() || setting.size() >= CRYPT_OUTPUT_SIZE) return std::nullopt;
  if (setting.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string k(key), s(setting);
  // struct crypt_data is 32 KiB: too big for a loop thread's stack frame,
  // and it must start zeroed for the library's internal state.
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof(crypt_data));
  const char* out = crypt_rn(k.c_str(), s.c_str(), data.get(), sizeof(crypt_data));
  // A failure is NULL here (crypt_rn never hands out the "*0" failure token).
  std::optional<std::string> result;
  if (out != nullptr && out[0] != '*') result = std::string(out);
  // The work area held the key: wipe it before it goes back to the heap.
  explicit_bzero(data.get(), sizeof(crypt_data));
  return result;
}

std::optional<std::string> LibCryptGenSalt(const char* prefix) {
  char buf[CRYPT_GENSALT_OUTPUT_SIZE];
  // No random bytes of ours: the library reads them from the kernel.
  if (crypt_gensalt_rn(prefix, 0, nullptr, 0, buf, sizeof buf) == nullptr) return std::nullopt;
  if (buf[0] == '*') return std::nullopt;
  return std::string(buf);
}

}  // namespace vantor
