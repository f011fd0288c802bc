#include "util/RLog.h"

namespace vantor {
namespace {
RLogSinkFn gSink = nullptr;
RLogWantedFn gWanted = nullptr;
void* gContext = nullptr;
}  // namespace

void SetLogSink(RLogSinkFn fn, void* context, RLogWantedFn wanted) {
  gSink = fn;
  gWanted = fn != nullptr ? wanted : nullptr;
  gContext = context;
}

bool LogWanted(int category) {
  if (gSink == nullptr) return false;
  return gWanted == nullptr || gWanted(gContext, category);
}

void WriteLog(int category, std::string_view text) {
  if (gSink != nullptr) gSink(gContext, category, text);
}

}  // namespace vantor
