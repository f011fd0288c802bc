// fuzz-libs: accounts config platform util log
// Fuzzes OTP response decoding (six words, then hex) and the SKEYValues
// record parser, checking that whatever decodes also round-trips.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "accounts/RSKey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  if (auto w = vantor::SKeyDecodeWords(in)) {
    // A decoded response encodes back to six words that decode to it again.
    auto again = vantor::SKeyDecodeWords(vantor::SKeyToWords(*w));
    if (!again || *again != *w) abort();
  }
  if (auto h = vantor::SKeyDecodeHex(in)) {
    if (vantor::SKeyToHex(*h).size() != 16) abort();
    auto again = vantor::SKeyDecodeHex(vantor::SKeyToHex(*h));
    if (!again || *again != *h) abort();
  }
  if (auto r = vantor::SKeyDecodeResponse(in)) {
    (void)vantor::SKeyStep(vantor::SKEY_MD4, *r);
  }
  if (auto v = vantor::ParseSKeyValues(in)) {
    auto again = vantor::ParseSKeyValues(vantor::FormatSKeyValues(*v));
    if (!again || again->last != v->last || again->seed != v->seed ||
        again->sequence != v->sequence || again->session != v->session || again->time != v->time)
      abort();
  }
  (void)vantor::UnscramblePassPhrase(in);
  if (vantor::UnscramblePassPhrase(vantor::ScramblePassPhrase(in)) != in) abort();
  return 0;
}
