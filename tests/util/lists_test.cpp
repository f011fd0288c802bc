#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "util/RDblLinkedList.h"
#include "util/RSimpleList.h"

using namespace vantor;

namespace {

std::vector<int> Values(RSimpleList<int>& l) {
  std::vector<int> v;
  for (int* p = l.First(); p != nullptr; p = l.Next()) v.push_back(*p);
  return v;
}

}  // namespace

// Append keeps insertion order; Prepend puts at the head; counts follow.
TEST(RSimpleList, AppendPrependOrder) {
  RSimpleList<int> l;
  l.Append(2);
  l.Append(3);
  l.Prepend(1);
  EXPECT_EQ(Values(l), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(l.Count(), 3u);
}

// Removing under the cursor (head, middle, tail, consecutive) keeps the walk
// on the following element and the tail usable for later appends.
TEST(RSimpleList, RemoveWhileIterating) {
  struct Case {
    std::vector<int> drop;
    std::vector<int> left;
  };
  const Case cases[] = {
      {{1}, {2, 3, 4, 5}},   {{5}, {1, 2, 3, 4}}, {{2, 3}, {1, 4, 5}},
      {{1, 2, 3, 4, 5}, {}}, {{1, 5}, {2, 3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.drop));
    RSimpleList<int> l;
    for (int i = 1; i <= 5; ++i) l.Append(i);
    std::vector<int> seen;
    for (int* p = l.First(); p != nullptr; p = l.Next()) {
      seen.push_back(*p);
      if (std::find(c.drop.begin(), c.drop.end(), *p) != c.drop.end()) l.RemoveCurrent();
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(Values(l), c.left);
    l.Append(9);
    std::vector<int> after = c.left;
    after.push_back(9);
    EXPECT_EQ(Values(l), after);
  }
}

// The list owns its elements: destroying it frees them exactly once.
TEST(RSimpleList, OwnsElements) {
  auto counter = std::make_shared<int>(0);
  {
    RSimpleList<std::shared_ptr<int>> l;
    for (int i = 0; i < 4; ++i) l.Append(counter);
    EXPECT_EQ(counter.use_count(), 5);
    l.RemoveIf([](const std::shared_ptr<int>&) { return true; });
    EXPECT_EQ(counter.use_count(), 1);
    l.Append(counter);
    RSimpleList<std::shared_ptr<int>> moved(std::move(l));
    EXPECT_EQ(moved.Count(), 1u);
    EXPECT_EQ(l.Count(), 0u);
  }
  EXPECT_EQ(counter.use_count(), 1);
}

namespace {
struct Node {
  explicit Node(int v) : value(v) {}
  int value;
  RDblLink link;
};
using NodeList = RDblLinkedList<Node, &Node::link>;

std::vector<int> Values(NodeList& l) {
  std::vector<int> v;
  for (Node* n = l.Head(); n != nullptr; n = NodeList::NextOf(n)) v.push_back(n->value);
  return v;
}
}  // namespace

// Newest first; unlinking any position mends both directions; double
// link/unlink is harmless.
TEST(RDblLinkedList, LinkUnlink) {
  Node a(1), b(2), c(3);
  NodeList l;
  l.PushFront(&a);
  l.PushFront(&b);
  l.PushFront(&c);
  l.PushFront(&c);
  EXPECT_EQ(Values(l), (std::vector<int>{3, 2, 1}));
  l.Unlink(&b);
  l.Unlink(&b);
  EXPECT_EQ(Values(l), (std::vector<int>{3, 1}));
  l.Unlink(&c);
  EXPECT_EQ(Values(l), (std::vector<int>{1}));
  l.PushFront(&b);
  EXPECT_EQ(Values(l), (std::vector<int>{2, 1}));
  EXPECT_EQ(l.Count(), 2u);
}
