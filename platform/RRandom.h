// Random bytes from the kernel's generator, for anything an attacker must
// not predict (password salts). Any thread.
#pragma once

#include <cstddef>

namespace vantor {

// Fills `buf` with `n` bytes from getrandom(2), retrying on EINTR and short
// reads. False only when the kernel generator is unavailable; `buf` is then
// unspecified and the caller must not use it as a secret.
[[nodiscard]] bool RandomBytes(void* buf, size_t n);

}  // namespace vantor
