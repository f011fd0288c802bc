// Client-check libraries: loading from [EXTERNAL] and consulting them on
// access queries.
//
// The account store owns one RClientLibList. After answering a query itself
// it calls ShouldConsult() and, when that says so, Consult(): each library in
// load order is offered the question as a ClientEventRecord until one says it
// handled it; that library's flag and aux then become the query's answer.
//
// Loop thread only: libraries are called on the protocol thread, one at a
// time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "accounts/RClientCheck.h"
#include "include/vantor/hooks.h"
#include "platform/RDynLib.h"
#include "util/RSimpleList.h"

namespace vantor {

// Reads one key of the [EXTERNAL] section; "" when absent or empty.
using RExternalKeyReader = std::function<std::string(std::string_view key)>;

// Loads the libraries named by `prefix`1, `prefix`2, ... until the first
// absent or empty key. Each library that loads and exports `entryName` is
// handed to `keep` (library, entry point, file name); the others are logged
// (2047 cannot load, 2048 no entry point) and skipped. Returns how many were
// kept.
size_t LoadExternalLibraries(const RExternalKeyReader& reader, std::string_view prefix,
                             const char* entryName,
                             const std::function<void(RDynLib&&, void*, const std::string&)>& keep);

struct RClientLibStr {
  RDynLib library;
  HandleClientEventFn entry = nullptr;
  std::string fileName;  // as configured, for the trace
};

// The library event of an access query code; 0 when the code has none.
uint32_t ClientEventForQuery(uint32_t queryCode);
// "VNTR_HomeDir" ...; "Unknown" for any other number.
const char* ClientEventName(uint32_t event);

// The parts of an access query a client-check library sees and answers.
struct RClientQuery {
  uint32_t code = 0;
  uint32_t flag = 0;
  const char* user = "";  // NUL-terminated
  uint32_t address = 0;   // IP home, most significant byte first
  char* aux = nullptr;    // 512 bytes, read and written
  uint32_t session = 0;
  bool noRuleMarker = false;  // codes 11 and 37: no IP rule decided
};

class RClientLibList {
 public:
  RClientLibList() = default;
  RClientLibList(const RClientLibList&) = delete;
  RClientLibList& operator=(const RClientLibList&) = delete;

  // Unloads everything, then loads ClientCheckDLL1, 2, ... Returns the count.
  size_t Load(const RExternalKeyReader& reader);
  void Unload() { libs_.Clear(); }
  size_t Count() const { return libs_.Count(); }
  bool Empty() const { return libs_.Empty(); }

  // The trace of category 23 (LogAccessDLL / LogFileAccessDLL).
  void SetTrace(bool on) { trace_ = on; }
  bool Trace() const { return trace_; }

  // True when the libraries are to be asked: at least one is loaded, the
  // code has a library event, and the store left the flag at 0 (or, for
  // codes 11 and 37, no rule decided).
  bool ShouldConsult(const RClientQuery& q) const;
  // Offers the query to the libraries. True when one handled it; the query's
  // flag and aux then hold its answer, and address is 0 when the library
  // emptied the host text. A false return leaves the query untouched.
  bool Consult(RClientQuery& q);

  // For tests: adds an entry point that is not backed by a library.
  void AddForTest(HandleClientEventFn fn, std::string name);

 private:
  void TraceBefore(const ClientEventRecord& rec, const RClientLibStr& lib) const;
  void TraceAfter(const ClientEventRecord& rec, int32_t result) const;

  RSimpleList<RClientLibStr> libs_;
  bool trace_ = false;
};

// The account store's view of the client-check libraries: install one with
// RFTPSSecurity::SetClientCheck(). Reload() reads [EXTERNAL] and the trace
// switches LogAccessDLL / LogFileAccessDLL of [GLOBAL].
class RClientCheckLibs final : public RClientCheck {
 public:
  void Reload(const RIniFile& ini) override;
  bool HasLibraries() const override { return !libs_.Empty(); }
  void Consult(AccessQuery& q) override;

  RClientLibList& Libraries() { return libs_; }

 private:
  RClientLibList libs_;
};

}  // namespace vantor
