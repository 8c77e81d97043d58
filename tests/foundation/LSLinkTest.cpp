// Tests of the intrusive lists and their iterator.
#include "LSLink.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

struct SPayload {
  virtual ~SPayload() = default;
  int pad = 0;
};

// The link is deliberately not the first base, so every conversion has to adjust the pointer.
struct SItem : SPayload, SSLink {
  explicit SItem(int v, bool* destroyed = nullptr) : value(v), destroyed(destroyed) {}
  ~SItem() override {
    if (destroyed) *destroyed = true;
  }
  int value;
  bool* destroyed;
};

class LSLinkTest : public ::testing::Test {
 protected:
  std::vector<int> Values(const LSLink<SItem>& of) {
    std::vector<int> out;
    LSLinkIter<SItem> iter(of);
    while (iter) out.push_back(iter->value);
    return out;
  }
  SItem a{1}, b{2}, c{3}, d{4};
  LSLink<SItem> list, other;
};

TEST_F(LSLinkTest, EmptyListHasNothingToRemoveOrIndex) {
  EXPECT_EQ(list.RemoveFirst(), nullptr);
  EXPECT_EQ(list.RemoveLast(), nullptr);
  EXPECT_EQ(list.RemoveNext(nullptr), nullptr);
  EXPECT_EQ(list[0], nullptr);
  EXPECT_TRUE(Values(list).empty());
}

TEST_F(LSLinkTest, LinkingKeepsOrderAndLeavesLinkedElementsAlone) {
  list.InsertAfter(&b, nullptr);  // on an empty list: both first and last
  list.Append(&d);
  list.Insert(&a);
  list.InsertAfter(&c, &b);
  other.Append(&b);
  list.Append(&a);
  EXPECT_FALSE(other.Remove(&c));
  EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(list[3], &d);
  EXPECT_TRUE(other.empty());
}

TEST_F(LSLinkTest, RemovingAtTheEndKeepsAppendAtTheEnd) {
  list.Append(&a);
  list.Append(&b);
  EXPECT_TRUE(list.Remove(&b));
  EXPECT_EQ(list.RemoveNext(&a), nullptr);  // a is the last
  list.Append(&c);
  EXPECT_EQ(list.RemoveLast(), &c);
  EXPECT_EQ(list.RemoveFirst(), &a);
  list.Append(&d);
  list.Append(&b);
  EXPECT_EQ(list.RemoveNext(&d), &b);
  list.Append(&a);
  EXPECT_EQ(Values(list), (std::vector<int>{4, 1}));
}

TEST_F(LSLinkTest, DetachAppendsTheWholeChainInOrder) {
  list.Append(&a);
  other.Append(&b);
  other.Append(&c);
  other.Detach(list);
  list.Append(&d);
  EXPECT_EQ(Values(list), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_TRUE(other.empty());
}

TEST_F(LSLinkTest, RemovingTheCurrentElementEndsTheIteration) {
  list.Append(&a);
  list.Append(&b);
  list.Append(&c);
  std::vector<int> seen;
  LSLinkIter<SItem> iter(list);
  while (iter) {
    seen.push_back(iter->value);
    if (iter.current() == &b) list.Remove(&b);
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(LSLinkLifetimeTest, DestroyingUnlinksButDeleteAllDestroys) {
  bool kept = false, deleted = false;
  SItem item(1, &kept);
  {
    LSLink<SItem> list, owner;
    list.Append(&item);
    owner.Append(new SItem(2, &deleted));
    owner.DeleteAll();
    EXPECT_TRUE(deleted);
  }
  EXPECT_FALSE(kept);
  EXPECT_FALSE(item.linked());
}

}  // namespace
