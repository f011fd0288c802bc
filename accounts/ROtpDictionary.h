// The RFC 2289 standard dictionary of the six-word OTP encoding.
#pragma once

namespace vantor {

// Index order; entries 0..570 have 1-3 letters, 571..2047 exactly 4.
extern const char kOtpWords[2048][5];

}  // namespace vantor
