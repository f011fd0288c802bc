#include "net_fixture.h"

using namespace vantor;
using namespace vantor::nettest;

namespace {
class RWinSocketStress : public NetTest {};
}  // namespace

// 10,000 sockets opened and closed (5,000 connections, both ends through
// the layer, in batches): no fd, registration or deferred record survives.
TEST_F(RWinSocketStress, TenThousandSockets) {
  RWinSocket* l = NewSocket();
  ASSERT_EQ(l->Listen(0, true, "127.0.0.1"), WS_OK);
  const uint16_t port = l->GetLocalPort();
  const size_t watchedBefore = loop_.WatchedFdCount();
  const int fdsBefore = OpenFdCount();
  constexpr int kBatch = 40;  // well within the listen backlog
  int accepted = 0;
  for (int round = 0; round < 125; ++round) {
    std::vector<std::unique_ptr<RWinSocket>> batch;
    for (int i = 0; i < kBatch; ++i) {
      batch.push_back(
          std::make_unique<RWinSocket>(layer_.get(), owner_, kOwnerMessage, WS_STREAM, 0));
      ASSERT_EQ(batch.back()->CallHost("127.0.0.1", port), WS_OK);
    }
    int taken = 0;
    ASSERT_TRUE(Pump([&] {
      for (;;) {
        auto s = std::make_unique<RWinSocket>(layer_.get(), owner_, kOwnerMessage, WS_STREAM, 0);
        if (s->AcceptHost(*l) != WS_OK) break;
        batch.push_back(std::move(s));
        ++taken;
      }
      return taken == kBatch;
    }));
    accepted += taken;
    // Half of them close gracefully, the rest are simply destroyed.
    for (int i = 0; i < kBatch; i += 2) (void)batch[i]->DisconnectHost(0);
    batch.clear();
    loop_.RunPending();
    events_.clear();
  }
  EXPECT_EQ(accepted, 5000);
  EXPECT_EQ(layer_->SocketCount(), 1u);
  EXPECT_EQ(loop_.WatchedFdCount(), watchedBefore);
  EXPECT_EQ(OpenFdCount(), fdsBefore);
  EXPECT_EQ(layer_->DeferredCount(), 0u);
  EXPECT_EQ(layer_->RepostCount(), 0u);
}
