#include "util/RLog.h"

namespace vantor {
namespace {
RLogSinkFn gSink = nullptr;
RLogWantedFn gWanted = nullptr;
void* gContext = nullptr;
}  // namespace

RLogSinkScope::RLogSinkScope(RLogSinkFn fn, void* context, RLogWantedFn wanted)
    : previousFn_(gSink), previousContext_(gContext), previousWanted_(gWanted) {
  gSink = fn;
  gWanted = fn != nullptr ? wanted : nullptr;
  gContext = context;
}

RLogSinkScope::~RLogSinkScope() {
  gSink = previousFn_;
  gWanted = previousWanted_;
  gContext = previousContext_;
}

bool LogWanted(int category) {
  if (gSink == nullptr) return false;
  return gWanted == nullptr || gWanted(gContext, category);
}

void WriteLog(int category, std::string_view text) {
  if (gSink != nullptr) gSink(gContext, category, text);
}

namespace {
bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}
}  // namespace

bool LogTextNeedsEscape(std::string_view text) {
  for (char c : text) {
    if (IsControl(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

std::string EscapeLogText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (!IsControl(u)) {
      out += c;
      continue;
    }
    out += "\\x";
    out += kHex[u >> 4];
    out += kHex[u & 15];
  }
  return out;
}

}  // namespace vantor
