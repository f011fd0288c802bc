#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "accounts/RFTPEventHandler.h"
#include "accounts/RFTPEventStub.h"
#include "hooks_support.h"
#include "platform/RMessageLoop.h"

using namespace vantor;
using namespace vantor::hooktest;

namespace {

// Any other message of the main window: libraries may not post it.
constexpr uint32_t kOtherMessage = MSG_HOOK_RELEASE - 1;

// A main window that records release messages.
class HookTest : public ::testing::Test {
 protected:
  HookTest() {
    window_ = loop_.CreateWindow([this](const RMsg& m) -> intptr_t {
      got_.push_back(m);
      return 0;
    });
  }
  // Runs the loop until a message arrived; bounded so a lost release fails
  // the test instead of hanging it.
  bool WaitForMessage() {
    for (int i = 0; i < 500 && got_.empty(); ++i) loop_.RunOnce(20);
    return !got_.empty();
  }
  // A handler of the main window with the given libraries, in load order.
  std::shared_ptr<RFTPEventHandler> Handler(std::vector<HandleEventHookFn> libs = {}) {
    auto handler = std::make_shared<RFTPEventHandler>(loop_, window_);
    for (HandleEventHookFn fn : libs) handler->AddForTest(fn, "t");
    return handler;
  }
  // A handler with one example library loaded as EventHookDLL1.
  std::shared_ptr<RFTPEventHandler> WithExample(const char* name) {
    auto handler = Handler();
    LogCapture log;
    const size_t loaded = handler->Load([name](std::string_view k) {
      return k == "EventHookDLL1" ? ExampleLib(name) : std::string();
    });
    EXPECT_EQ(loaded, 1u) << name;
    return handler;
  }

  RMessageLoop loop_;
  RWindowId window_ = 0;
  std::vector<RMsg> got_;
};

std::vector<std::string> gSeen;

int32_t Scribble(EventHookRecord* r) {
  gSeen.push_back("scribble:" + std::to_string(r->window) + "/" +
                  std::to_string(r->releaseMessage));
  r->window = 0;
  r->releaseMessage = 0;
  r->session = 999;  // must not reach the session's record
  std::strcpy(r->clientAddress, "6.6.6.6");
  return 1;
}
int32_t Reply(EventHookRecord* r) {
  gSeen.push_back("reply");
  std::strcpy(r->text, "550-first\r\n\n550 second\n");
  return 2;
}
int32_t ReplyEmpty(EventHookRecord* r) {
  r->text[0] = '\0';
  return 2;
}
// What a library finds through VantorHookExt on its copy of the record.
int32_t SeeAddresses(EventHookRecord* r) {
  const EventHookRecordExt* x = VantorHookExt(r);
  gSeen.push_back(x == nullptr ? "no extension"
                               : std::to_string(x->version) + " " + x->clientAddress + " " +
                                     x->localAddress + " [" + r->clientAddress + "] [" +
                                     r->localAddress + "]");
  return 0;
}
int32_t Unterminated(EventHookRecord* r) {
  std::memset(r->text, 'y', sizeof r->text);
  return 2;
}

}  // namespace

// The record a library sees: fixed fields from the session, event fields
// from the raiser, 64-bit count saturated into the 32-bit field. Only the
// answer and the text come back.
TEST_F(HookTest, RecordContentsAndCopyBack) {
  RFTPEventStub stub(Handler({&Scribble}), 12, "10.0.0.2", "127.0.0.1");
  RFTPEventStub::EventStr ev;
  ev.code = VNTR_EV_DownloadFailed;
  ev.text = "C:\\srv\\big.iso";
  ev.text2 = "BINARY";
  ev.reason = 4;
  ev.elapsed = 1500;
  ev.bytes = 5000000000ull;
  (void)stub.Raise(ev);
  const EventHookRecord& r = stub.Record();
  EXPECT_EQ(r.event, 14u);
  EXPECT_EQ(r.reason, 4u);
  EXPECT_EQ(r.session, 12u);
  EXPECT_STREQ(r.clientAddress, "10.0.0.2");
  EXPECT_STREQ(r.localAddress, "127.0.0.1");
  EXPECT_EQ(r.elapsed, 1500u);
  EXPECT_EQ(r.bytes, 0xFFFFFFFFu);
  EXPECT_EQ(r.bytes64, 5000000000ull);
  EXPECT_STREQ(r.text, "C:\\srv\\big.iso");
  EXPECT_STREQ(r.text2, "BINARY");

  // A following event clears the fields it does not use.
  (void)stub.Raise(VNTR_EV_Connect);
  EXPECT_EQ(stub.Record().reason, 0u);
  EXPECT_EQ(stub.Record().bytes, 0u);
  EXPECT_STREQ(stub.Record().text, "");
}

// IPv6 addresses reach libraries whole in the extension after the record;
// the 16-byte fields hold one only when it fits, never a cut address.
TEST_F(HookTest, IPv6AddressesInExtension) {
  auto handler = Handler({&SeeAddresses});
  gSeen.clear();
  (void)RFTPEventStub(handler, 1, "2001:db8:aaaa:bbbb::1234", "::1").Raise(VNTR_EV_Connect);
  (void)RFTPEventStub(handler, 2, "10.0.0.2", "127.0.0.1").Raise(VNTR_EV_Connect);
  EXPECT_EQ(gSeen, (std::vector<std::string>{"1 2001:db8:aaaa:bbbb::1234 ::1 [] [::1]",
                                             "1 10.0.0.2 127.0.0.1 [10.0.0.2] [127.0.0.1]"}));
}

// Reply text: one line per LF-separated line, CR and empty lines dropped; an
// empty text still gives the client an answer; an unterminated text is cut.
TEST_F(HookTest, ReplyLines) {
  struct Case {
    HandleEventHookFn fn;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {&Reply, {"550-first", "550 second"}},
      {&ReplyEmpty, {"550 Request refused."}},
      {&Unterminated, {std::string(511, 'y')}},
  };
  for (const Case& c : cases) {
    RFTPEventStub stub(Handler({c.fn}), 1, "a", "b");
    ASSERT_EQ(stub.Raise(VNTR_EV_PreDELE, "C:\\x"), 2);
    EXPECT_EQ(stub.ReplyLines(), c.want);
  }
}

// The release call: only MSG_HOOK_RELEASE to the main window while a handler
// lives; from another thread it arrives on the loop.
TEST_F(HookTest, VantorPostMessageRules) {
  {
    auto handler = Handler();
    EXPECT_EQ(VantorPostMessage(window_, kOtherMessage, 5, 0), 0);
    EXPECT_EQ(VantorPostMessage(window_ + 1, MSG_HOOK_RELEASE, 5, 0), 0);
    int32_t posted = 0;
    std::thread t([&] { posted = VantorPostMessage(window_, MSG_HOOK_RELEASE, 5, 0); });
    t.join();
    EXPECT_EQ(posted, 1);
    ASSERT_TRUE(WaitForMessage());
    EXPECT_EQ(got_[0].message, MSG_HOOK_RELEASE);
    EXPECT_EQ(got_[0].wParam, 5u);
  }
  EXPECT_EQ(VantorPostMessage(window_, MSG_HOOK_RELEASE, 5, 0), 0) << "handler gone";
}

// After a reload two handlers are attached to the main window for a while:
// the old one going (its last session ended) leaves releases on; only the
// last one switches them off. A release that finds the queue full is kept
// for the main window's tick instead of being refused.
TEST_F(HookTest, ReleasesOutliveAnOldHandler) {
  auto old = Handler();
  auto current = Handler();
  old.reset();
  EXPECT_EQ(VantorPostMessage(window_, MSG_HOOK_RELEASE, 7, 0), 1);
  ASSERT_TRUE(WaitForMessage());
  EXPECT_EQ(got_[0].wParam, 7u);

  const RWindowId other = loop_.CreateWindow([](const RMsg&) -> intptr_t { return 0; });
  while (loop_.PostMessage(other, kOtherMessage)) {
  }
  EXPECT_EQ(VantorPostMessage(window_, MSG_HOOK_RELEASE, 8, 0), 1);
  EXPECT_EQ(VantorPostMessage(window_, MSG_HOOK_RELEASE, 9, 0), 1);
  EXPECT_EQ(TakeLostReleases(), (std::vector<uint32_t>{8, 9}));
  EXPECT_TRUE(TakeLostReleases().empty());
  loop_.DestroyWindow(other);

  current.reset();
  EXPECT_EQ(VantorPostMessage(window_, MSG_HOOK_RELEASE, 7, 0), 0) << "no handler left";
}

// The example hold library: RETR is held, released from the library's own
// thread through VantorPostMessage with the session number, and let through
// on the second call.
TEST_F(HookTest, HoldRetrLibraryReleasesFromItsThread) {
  ScopedEnv env("VANTOR_HOLDRETR_MS", "10");
  RFTPEventStub stub(WithExample("holdretr"), 31, "a", "b");
  EXPECT_EQ(stub.Raise(VNTR_EV_PreSTOR, "C:\\x"), 0) << "only RETR is held";
  ASSERT_EQ(stub.Raise(VNTR_EV_PreRETR, "C:\\x"), 3);
  ASSERT_TRUE(WaitForMessage());
  EXPECT_EQ(got_[0].message, MSG_HOOK_RELEASE);
  EXPECT_EQ(got_[0].wParam, 31u);
  EXPECT_EQ(stub.RaiseAgain(), 0);
  // A new RETR of the same session is held again.
  got_.clear();
  EXPECT_EQ(stub.Raise(VNTR_EV_PreRETR, "C:\\y"), 3);
  ASSERT_TRUE(WaitForMessage());
}
