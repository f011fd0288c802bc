// The session's client hook record: the event-hook libraries seen through
// the session's RFTPSessionHook seam.
//
// A session gets one only while the program's current RFTPEventHandler has
// at least one library loaded, as the libraries expect, and keeps that
// handler for its whole life.
#include "ftp/RFTPSHooks.h"

#include <memory>
#include <string>
#include <utility>

#include "accounts/RFTPEventHandler.h"
#include "accounts/RFTPEventStub.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"

namespace vantor {
namespace {

class RFTPSHookRecord final : public RFTPSessionHook {
 public:
  RFTPSHookRecord(std::shared_ptr<RFTPEventHandler> handler, const RFTPSComInterp& s)
      : stub_(std::move(handler), s.Number(), s.Connection.clientAddress,
              s.Connection.localAddressText) {}

  int Raise(const RHookEventStr& e) override {
    RFTPEventStub::EventStr ev;
    ev.code = e.code;
    ev.text = e.text;
    ev.text2 = e.text2;
    ev.reason = e.second;
    ev.elapsed = e.elapsed;
    ev.bytes = e.bytes;
    return stub_.Raise(ev);
  }
  int Recall() override { return stub_.RaiseAgain(); }
  std::string VerdictText() const override {
    std::string text;
    for (const std::string& line : stub_.ReplyLines()) {
      if (!text.empty()) text += '\n';
      text += line;
    }
    return text;
  }
  std::string EventText() const override { return std::string(stub_.Text()); }
  // The record has no user field; libraries learn the user from the login
  // event and the client-check calls.
  void SetUser(std::string_view) override {}
  void SetPassword(std::string_view) override {}

 private:
  RFTPEventStub stub_;
};

}  // namespace

std::unique_ptr<RFTPSessionHook> MakeHookRecord(RFTPSComInterp& s) {
  const std::shared_ptr<RFTPEventHandler>& handler = s.Manager().EventHandler();
  if (handler == nullptr || handler->Empty()) return nullptr;
  return std::make_unique<RFTPSHookRecord>(handler, s);
}
}  // namespace vantor
