#include "accounts/RClientLib.h"

#include <cstring>
#include <utility>

#include "accounts/RAccountsStrings.h"
#include "config/RIniFile.h"
#include "util/RLog.h"
#include "util/RStringTable.h"

namespace vantor {
namespace {

constexpr size_t kAuxSize = 512;

// Access query code -> library event, from the event table.
struct EventMapStr {
  uint32_t query;
  uint32_t event;
  const char* name;
};
constexpr EventMapStr kEvents[] = {
    {16, VNTR_LoginMesFile, "VNTR_LoginMesFile"},
    {17, VNTR_HomeDir, "VNTR_HomeDir"},
    {15, VNTR_Password, "VNTR_Password"},
    {11, VNTR_IPAccess, "VNTR_IPAccess"},
    {7, VNTR_WriteFile, "VNTR_WriteFile"},
    {9, VNTR_ReadFile, "VNTR_ReadFile"},
    {10, VNTR_ModifyFile, "VNTR_ModifyFile"},
    {20, VNTR_ExecProg, "VNTR_ExecProg"},
    {21, VNTR_ListDir, "VNTR_ListDir"},
    {12, VNTR_ChangeDir, "VNTR_ChangeDir"},
    {13, VNTR_DeleteDir, "VNTR_DeleteDir"},
    {14, VNTR_CreateDir, "VNTR_CreateDir"},
    {24, VNTR_HideHidden, "VNTR_HideHidden"},
    {25, VNTR_RelPaths, "VNTR_RelPaths"},
    {26, VNTR_RatioType, "VNTR_RatioType"},
    {27, VNTR_RatioDown, "VNTR_RatioDown"},
    {28, VNTR_RatioUp, "VNTR_RatioUp"},
    {29, VNTR_RatioCredit, "VNTR_RatioCredit"},
    {30, VNTR_RatioFree, "VNTR_RatioFree"},
    {31, VNTR_QuotaEnable, "VNTR_QuotaEnable"},
    {32, VNTR_QuotaChange, "VNTR_QuotaChange"},
    {33, VNTR_QuotaMax, "VNTR_QuotaMax"},
    {34, VNTR_AlwaysLogin, "VNTR_AlwaysLogin"},
    {35, VNTR_OneLoginPerIP, "VNTR_OneLoginPerIP"},
    {37, VNTR_LogClientIP, "VNTR_LogClientIP"},
    {38, VNTR_SpeedLimit, "VNTR_SpeedLimit"},
    {40, VNTR_PassChange, "VNTR_PassChange"},
    {41, VNTR_TimeOut, "VNTR_TimeOut"},
    {42, VNTR_MaxUsers, "VNTR_MaxUsers"},
    {43, VNTR_PassChallenge, "VNTR_PassChallenge"},
    {44, VNTR_Connect, "VNTR_Connect"},
    {45, VNTR_Close, "VNTR_Close"},
    {36, VNTR_MaxLoginPerIP, "VNTR_MaxLoginPerIP"},
    {39, VNTR_VerifyPasswd, "VNTR_VerifyPasswd"},
    {8, VNTR_AppendFile, "VNTR_AppendFile"},
    {46, VNTR_SignOnMes, "VNTR_SignOnMes"},
    {47, VNTR_SignOffMes, "VNTR_SignOffMes"},
};

bool In(uint32_t v, std::initializer_list<uint32_t> set) {
  for (uint32_t s : set) {
    if (s == v) return true;
  }
  return false;
}

// A text field that a library may have left without its terminating zero.
std::string_view Field(const char* p, size_t size) {
  return std::string_view(p, strnlen(p, size));
}

const char* TrueFalse(uint32_t flag) {
  return flag >= 1 ? "TRUE" : "FALSE";
}

void CopyField(char* dst, size_t size, std::string_view src) {
  const size_t n = src.size() < size - 1 ? src.size() : size - 1;
  if (n > 0) std::memcpy(dst, src.data(), n);
  std::memset(dst + n, 0, size - n);
}

// "a.b.c.d" of an address stored most significant byte first.
std::string HostText(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
         std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

}  // namespace

size_t LoadExternalLibraries(
    const RExternalKeyReader& reader, std::string_view prefix, const char* entryName,
    const std::function<void(RDynLib&&, void*, const std::string&)>& keep) {
  size_t kept = 0;
  for (unsigned n = 1;; ++n) {
    const std::string name = reader(std::string(prefix) + std::to_string(n));
    if (name.empty()) break;
    RDynLib lib;
    if (!lib.Open(name)) {
      WriteLog(LOG_SYSTEM, FormatStr(kLogLibraryNotLoaded, name));
      WriteLog(LOG_SYSTEM, FormatStr(kLogLibraryReason, lib.Error()));
      continue;
    }
    void* entry = lib.Symbol(entryName);
    if (entry == nullptr) {
      WriteLog(LOG_SYSTEM, FormatStr(kLogLibraryNoEntryPoint, name));
      continue;  // `lib` unloads here
    }
    keep(std::move(lib), entry, name);
    ++kept;
    WriteLog(LOG_SYSTEM, FormatStr(kLogLibraryLoaded, name));
  }
  return kept;
}

uint32_t ClientEventForQuery(uint32_t queryCode) {
  for (const EventMapStr& e : kEvents) {
    if (e.query == queryCode) return e.event;
  }
  return 0;
}

const char* ClientEventName(uint32_t event) {
  for (const EventMapStr& e : kEvents) {
    if (e.event == event) return e.name;
  }
  return "Unknown";
}

size_t RClientLibList::Load(const RExternalKeyReader& reader) {
  Unload();
  return LoadExternalLibraries(reader, "ClientCheckDLL", VANTOR_CLIENT_ENTRY,
                               [this](RDynLib&& lib, void* entry, const std::string& name) {
                                 RClientLibStr& s = libs_.Append();
                                 s.library = std::move(lib);
                                 s.entry = reinterpret_cast<HandleClientEventFn>(entry);
                                 s.fileName = name;
                               });
}

void RClientLibList::AddForTest(HandleClientEventFn fn, std::string name) {
  RClientLibStr& s = libs_.Append();
  s.entry = fn;
  s.fileName = std::move(name);
}

bool RClientLibList::ShouldConsult(const RClientQuery& q) const {
  if (libs_.Empty() || ClientEventForQuery(q.code) == 0) return false;
  if (q.flag == 0) return true;
  return (q.code == 11 || q.code == 37) && q.noRuleMarker;
}

bool RClientLibList::Consult(RClientQuery& q) {
  const uint32_t event = ClientEventForQuery(q.code);
  if (event == 0 || q.aux == nullptr) return false;
  ClientEventRecord rec;
  std::memset(&rec, 0, sizeof rec);
  rec.event = event;
  CopyField(rec.user, sizeof rec.user, q.user != nullptr ? q.user : "");
  std::memcpy(rec.aux, q.aux, kAuxSize);
  CopyField(rec.host, sizeof rec.host, HostText(q.address));
  rec.session = q.session;

  const bool notification = event == VNTR_Connect || event == VNTR_Close;
  for (const RClientLibStr& lib : libs_) {
    if (trace_) TraceBefore(rec, lib);
    int32_t result = lib.entry(&rec);
    // Every library is told of connects and closes.
    if (notification) result = 0;
    if (trace_) TraceAfter(rec, result);
    if (result == 0) continue;
    q.flag = rec.flag;
    std::memcpy(q.aux, rec.aux, kAuxSize);
    // A text answer must stay a C string for whoever reads it next.
    if (strnlen(q.aux, kAuxSize - 1) == kAuxSize - 1) q.aux[kAuxSize - 1] = '\0';
    if (rec.host[0] == '\0') q.address = 0;
    return true;
  }
  return false;
}

void RClientCheckLibs::Reload(const RIniFile& ini) {
  libs_.SetTrace(ini.GetBool("GLOBAL", "LogAccessDLL", false) ||
                 ini.GetBool("GLOBAL", "LogFileAccessDLL", false));
  libs_.Load([&ini](std::string_view key) { return ini.GetString("EXTERNAL", key); });
}

void RClientCheckLibs::Consult(AccessQuery& q) {
  RClientQuery cq;
  cq.code = q.code;
  cq.flag = q.flag;
  const std::string user(QueryUser(q));
  cq.user = user.c_str();
  cq.address = q.address;
  cq.aux = q.aux;
  cq.session = q.session;
  cq.noRuleMarker = QueryNoRule(q);
  if (!libs_.ShouldConsult(cq)) return;
  if (!libs_.Consult(cq)) return;
  q.flag = cq.flag;
  q.address = cq.address;
}

void RClientLibList::TraceBefore(const ClientEventRecord& rec, const RClientLibStr& lib) const {
  const uint32_t ev = rec.event;
  WriteLog(LOG_EXTERNAL, FormatStr(kLogHookEvent, rec.session, ClientEventName(ev), lib.fileName));
  WriteLog(LOG_EXTERNAL, FormatStr(kLogHookHost, Field(rec.host, sizeof rec.host),
                                   TrueFalse(rec.flag), Field(rec.user, sizeof rec.user)));
  const bool secret = In(ev, {3, 27, 34});
  const std::string_view first = Field(rec.aux, sizeof rec.aux);
  if ((ev >= 3 && ev <= 12) || In(ev, {18, 19, 21, 25, 27, 31, 34, 35})) {
    WriteLog(LOG_EXTERNAL,
             FormatStr(kLogHookFirstAux, secret ? std::string_view("******") : first));
  }
  if (In(ev, {3, 4, 34})) {
    const size_t at = first.size() + 1;
    const std::string_view second =
        at < sizeof rec.aux ? Field(rec.aux + at, sizeof rec.aux - at) : std::string_view();
    WriteLog(LOG_EXTERNAL, FormatStr(kLogHookSecondAux, second));
  }
}

void RClientLibList::TraceAfter(const ClientEventRecord& rec, int32_t result) const {
  if (result == 0) {
    WriteLog(LOG_EXTERNAL, LoadStr(kLogHookNotHandled));
    return;
  }
  const uint32_t ev = rec.event;
  WriteLog(LOG_EXTERNAL, FormatStr(kLogHookHandled, TrueFalse(rec.flag)));
  if (In(ev, {1, 2, 15, 16, 17, 18, 21, 22, 26, 28, 29, 30, 33, 36, 37})) {
    WriteLog(LOG_EXTERNAL, FormatStr(kLogHookAuxReturned, Field(rec.aux, sizeof rec.aux)));
  } else if (In(ev, {13, 14, 20, 23, 24})) {
    const unsigned char b = static_cast<unsigned char>(rec.aux[0]);
    const char* shown = b == 1 ? "TRUE" : b == 0 ? "FALSE" : "??? (illegal return value)";
    WriteLog(LOG_EXTERNAL, FormatStr(kLogHookAux0Returned, shown));
  }
}

}  // namespace vantor
