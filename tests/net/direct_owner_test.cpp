// Owners whose events the layer hands over by a call: an event made by
// readiness crosses the loop's queue once (with the readiness message), an
// event made by the owner's own call is never delivered inside that call,
// each is delivered exactly once, and one socket's events keep their order.
#include <sys/socket.h>

#include "net_fixture.h"

namespace vantor::nettest {
namespace {

class DirectOwner : public NetTest {
 protected:
  DirectOwner() {
    // The owner window records whether an event came inside one of its own
    // calls into the layer (it must not).
    loop_.DestroyWindow(owner_);
    owner_ = loop_.CreateWindow([this](const RMsg& m) -> intptr_t {
      events_.push_back(
          Ev{WsEventOp(m.wParam), WsEventStatus(m.wParam), static_cast<uint32_t>(m.lParam)});
      if (inCall_) ++reentered_;
      return 0;
    });
    layer_->SetDirectOwner(owner_, true);
  }
  // One pass of the loop that handles whatever is ready now. Under a speed
  // limit a pass dispatches one batch of messages: a message posted while
  // it runs waits for the next pass.
  void OnePass() { loop_.RunOnce(200); }

  bool inCall_ = false;
  int reentered_ = 0;
  char buf_[64] = {};
};

TEST_F(DirectOwner, OwnCallsEventComesAfterTheCallOnce) {
  auto [sock, peer] = PlainPeer();
  ASSERT_GE(peer, 0);
  ASSERT_EQ(sock->ReceiveBlock(buf_, 5, nullptr, 0), WS_OK);
  inCall_ = true;
  sock->Abort(WS_TYPE_REC);
  inCall_ = false;
  EXPECT_TRUE(events_.empty()) << "delivered inside the owner's call";
  EXPECT_EQ(layer_->RelayCount(), 1u);
  Settle();
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Receiving, WS_Aborted, sock->Id()}}));
  EXPECT_EQ(layer_->RelayCount(), 0u);
  EXPECT_EQ(reentered_, 0);
}

TEST_F(DirectOwner, DestroyedSocketsEventsAreDropped) {
  auto [sock, peer] = PlainPeer();
  ASSERT_GE(peer, 0);
  auto [other, otherPeer] = PlainPeer();
  ASSERT_GE(otherPeer, 0);
  ASSERT_EQ(sock->ReceiveBlock(buf_, 5, nullptr, 0), WS_OK);
  ASSERT_EQ(other->ReceiveBlock(buf_ + 8, 5, nullptr, 0), WS_OK);
  sock->Abort(WS_TYPE_REC);
  other->Abort(WS_TYPE_REC);
  ASSERT_EQ(layer_->RelayCount(), 2u);
  const uint32_t goneId = sock->Id();
  std::erase_if(sockets_, [&](const std::unique_ptr<RWinSocket>& s) { return s.get() == sock; });
  EXPECT_EQ(layer_->RelayCount(), 1u);
  Settle();
  // Two relay messages were queued; the first hands over the other
  // socket's event, the second finds nothing left.
  EXPECT_EQ(events_, (std::vector<Ev>{{WS_Receiving, WS_Aborted, other->Id()}}));
  EXPECT_TRUE(EventsOf(goneId).empty());
}

}  // namespace
}  // namespace vantor::nettest
