// Access questions of work running on a worker thread (listings, the
// machine listing's perm facts): the rules taken along settle what they
// can on the worker; the rest goes to the loop thread in blocks, and the
// worker never takes anything the loop thread needs.
#include "ftp/RWorkerAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ftp_fixture.h"
#include "wait_until.h"

namespace vantor {
namespace {

class WorkerAccessTest : public FtpTest {
 protected:
  void SetUp() override {
    StartOnline("", false);
    // Paths with "secret" in them are refused; everything is recorded.
    manager_->SetAccessHandler([this](AccessQuery& q) {
      asked_.emplace_back(QueryAux(q));
      threads_.insert(std::this_thread::get_id());
      q.flag = QueryAux(q).find("secret") == std::string_view::npos ? 1 : 0;
    });
  }
  // The handler reaches this class's members: the manager goes first.
  ~WorkerAccessTest() override { manager_.reset(); }

  RWorkerContextStr Context(std::shared_ptr<const RListRules> rules) {
    return {manager_.get(), 7, "JOE", 0, manager_->Fs().Snapshot(), std::move(rules)};
  }
  // Runs `work` on a thread of its own while this thread turns the loop, as
  // the pool's worker and the loop would.
  void OnWorker(const std::function<void()>& work) {
    std::atomic<bool> done{false};
    std::thread t([&] {
      work();
      done = true;
    });
    RunUntil([&] { return done.load(); });
    t.join();
  }
  static std::shared_ptr<const RListRules> Rules(bool librariesDecide) {
    auto user =
        std::make_shared<const RListRules::Entries>(RListRules::Entries{{"Access1", "C:\\d,L"}});
    return std::make_shared<const RListRules>(RListRules::Chain{user, nullptr, nullptr},
                                              RDriveMap(), nullptr, librariesDecide);
  }

  std::vector<std::string> asked_;
  std::set<std::thread::id> threads_;
};

TEST_F(WorkerAccessTest, LoopAnswersWhatTheRulesCannotSettle) {
  std::vector<std::string> paths;
  for (int i = 0; i < 300; ++i) paths.push_back("C:\\d\\f" + std::to_string(i));
  paths.push_back("C:\\other\\secret");
  paths.push_back("C:\\other\\open");
  std::vector<char> allowed;

  // No rules taken along: every question goes to the loop thread (this one),
  // more than one turn's worth included, each answered in place.
  RWorkerContextStr plain = Context(nullptr);
  RWorkerListAccess access(plain);
  OnWorker([&] { access.CanListMany("JOE", 0, paths, allowed); });
  ASSERT_EQ(allowed.size(), paths.size());
  EXPECT_EQ(std::count(allowed.begin(), allowed.end(), 1), 301);
  EXPECT_EQ(allowed[300], 0);
  EXPECT_EQ(asked_, paths);
  EXPECT_EQ(threads_, std::set<std::thread::id>{std::this_thread::get_id()});

  // Rules taken along, no libraries: the loop is not asked at all.
  asked_.clear();
  RWorkerContextStr ruled = Context(Rules(false));
  RWorkerListAccess alone(ruled);
  OnWorker([&] { alone.CanListMany("JOE", 0, paths, allowed); });
  EXPECT_EQ(std::count(allowed.begin(), allowed.end(), 1), 300);
  EXPECT_EQ(allowed[300] + allowed[301], 0);
  EXPECT_TRUE(asked_.empty());
  OnWorker([&] {
    EXPECT_TRUE(AskFlagOffLoop(ruled, QC_LIST_DIR, "C:\\d\\x"));
    EXPECT_FALSE(AskFlagOffLoop(ruled, QC_READ_FILE, "C:\\d\\x"));
  });
  EXPECT_TRUE(asked_.empty());

  // With libraries, only the rules' refusals go to the loop, which may
  // still permit them.
  RWorkerContextStr libs = Context(Rules(true));
  RWorkerListAccess asking(libs);
  OnWorker([&] { asking.CanListMany("JOE", 0, paths, allowed); });
  EXPECT_EQ(asked_, (std::vector<std::string>{"C:\\other\\secret", "C:\\other\\open"}));
  EXPECT_EQ(allowed[300], 0);
  EXPECT_EQ(allowed[301], 1);
}

// A worker waiting for an answer when the manager goes gets a refusal
// instead of waiting for a loop turn that will not come.
TEST_F(WorkerAccessTest, ManagerGoingRefusesWaitingQuestions) {
  RWorkerContextStr ctx = Context(nullptr);
  loop_.RunPending();
  std::atomic<int> flag{-1};
  std::thread t([&] { flag = AskFlagOffLoop(ctx, QC_LIST_DIR, "C:\\d\\a") ? 1 : 0; });
  // The question is posted once it waits; the loop is not turned.
  EXPECT_TRUE(test::WaitUntil([&] { return loop_.NextTimeoutMs() == 0; }));
  manager_.reset();
  t.join();
  EXPECT_EQ(flag, 0);
  EXPECT_TRUE(asked_.empty());
}

// A question whose wake-up message finds the loop's queue full is answered
// by the next tick instead of leaving the worker (and every question after
// it) waiting for good.
TEST_F(WorkerAccessTest, QuestionAskedIntoFullQueueIsAnsweredByTheTick) {
  RWorkerContextStr ctx = Context(nullptr);
  loop_.RunPending();
  const RWindowId filler = loop_.CreateWindow([](const RMsg&) -> intptr_t { return 0; });
  while (loop_.PostMessage(filler, 1)) {
  }
  std::atomic<int> flag{-1};
  std::thread t([&] { flag = AskFlagOffLoop(ctx, QC_LIST_DIR, "C:\\d\\a") ? 1 : 0; });
  ASSERT_TRUE(test::WaitUntil([&] { return manager_->WorkerQuestionsWaiting(); }));
  loop_.RunPending();  // the filler only: the question's message was refused
  manager_->Tick();
  test::WaitUntil([&] { return flag != -1; });
  const int answered = flag;
  if (answered == -1) manager_.reset();  // frees the worker so the test ends
  t.join();
  loop_.DestroyWindow(filler);
  EXPECT_EQ(answered, 1);
  EXPECT_EQ(asked_, std::vector<std::string>{"C:\\d\\a"});
}

}  // namespace
}  // namespace vantor
