// The command table of the interpreter and the seams through which other
// files of ftp/ plug into the session.
//
// Dispatch walks the table in a fixed order (see RFTPSComInterp::Dispatch):
// the verbs accepted in any state first, then, once logged in, the verbs of
// the logged-in group by their `order`. Verbs are compared over their own
// length (three letters for PWD, CWD, RMD, MKD, four for the rest) without
// regard to case; anything may follow. A verb that is in the table but has
// no handler yet is answered like an unknown verb.
//
// Registering from another file:
//
//   namespace {
//   void HandleRetr(RFTPSComInterp& s, std::string_view line) { ... }
//   const RFTPCommandRegistrar kRegister({
//       {"RETR", RCmdGroup::LoggedIn, 16, &HandleRetr},
//   });
//   }  // namespace
//
// ftp/ is linked as a whole archive, so such a file is always part of the
// program even though nothing refers to it by name. Registration happens
// during static initialisation; the table must not be changed later.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vantor {

class RFTPSComInterp;
class RFTPSessionHook;
class RWinSocket;

using RFTPHandler = void (*)(RFTPSComInterp& session, std::string_view line);

enum class RCmdGroup {
  AnyState,  // NOOP STAT SYST REIN QUIT HELP USER PASS OPEN FEAT OPTS CLNT HOST
  LoggedIn,  // the logged-in table
};

struct RFTPCommandStr {
  const char* verb;  // "RETR", "PWD"; upper case
  RCmdGroup group;
  int order;  // position in the logged-in table (1..23)
  RFTPHandler handler;
};

// Second half of a command held by a hook (RDeferredCommand codes 14..23),
// run by ResumeDeferred when the hook lets it go on.
using RFTPResumeFn = void (*)(RFTPSComInterp& session);

// What the session asks of the data-connection and transfer code. Every
// member may stay null.
struct RFTPTransferOps {
  // An event of the session's data socket or passive listener.
  void (*onDataEvent)(RFTPSComInterp& s, RWinSocket& socket, int operation, int status) = nullptr;
  // Abort the active transfer with its own reply and log line; `reason` is
  // appended to the log line (", client killed by server").
  void (*abortTransfer)(RFTPSComInterp& s, std::string_view reason) = nullptr;
  // The session tick during a transfer: progress events, data adjustments.
  void (*onTick)(RFTPSComInterp& s) = nullptr;
  // REIN: type ASCII, passive off, listener closed, data address and port reset.
  void (*reinitialize)(RFTPSComInterp& s) = nullptr;
};

using RFTPHookFactory = std::unique_ptr<RFTPSessionHook> (*)(RFTPSComInterp& session);

class RFTPCommandTable {
 public:
  static RFTPCommandTable& Instance();

  // Adds or replaces the handler of a verb.
  void Register(const RFTPCommandStr& command);
  // The entry for `line` in `group`, or nullptr. Logged-in entries are found
  // in table order.
  const RFTPCommandStr* Find(RCmdGroup group, std::string_view line) const;
  const RFTPCommandStr* FindVerb(std::string_view verb) const;

  void SetResume(int32_t deferredCommand, RFTPResumeFn fn);
  RFTPResumeFn Resume(int32_t deferredCommand) const;

  void SetTransferOps(const RFTPTransferOps& ops) { transfer_ = ops; }
  const RFTPTransferOps& TransferOps() const { return transfer_; }

  void SetHookFactory(RFTPHookFactory factory) { hookFactory_ = factory; }
  RFTPHookFactory HookFactory() const { return hookFactory_; }

 private:
  RFTPCommandTable();

  std::vector<RFTPCommandStr> commands_;  // sorted: any-state first, then by order
  RFTPResumeFn resume_[10] = {};
  RFTPTransferOps transfer_;
  RFTPHookFactory hookFactory_ = nullptr;
};

// Referencing this keeps the login and session commands in a program that
// links the archive without taking it whole (the fuzz targets).
extern const int kFtpLoginCommandsAnchor;

// Registers commands at static initialisation.
struct RFTPCommandRegistrar {
  RFTPCommandRegistrar(std::initializer_list<RFTPCommandStr> commands);
};

}  // namespace vantor
