#include "util/RLog.h"

namespace vantor {
namespace {
RLogSinkFn gSink = nullptr;
void* gContext = nullptr;
}  // namespace

void SetLogSink(RLogSinkFn fn, void* context) {
  gSink = fn;
  gContext = context;
}

void WriteLog(int category, std::string_view text) {
  if (gSink != nullptr) gSink(gContext, category, text);
}

}  // namespace vantor
