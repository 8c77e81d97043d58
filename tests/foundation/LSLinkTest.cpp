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
  std::vector<int> Values() {
    std::vector<int> out;
    LSLinkIter<SItem> iter(list);
    while (iter) out.push_back(iter->value);
    return out;
  }
  SItem a{1}, b{2}, c{3}, d{4};
  LSLink<SItem> list, other;
};

TEST_F(LSLinkTest, LinkingKeepsOrderLeavesLinkedElementsAloneAndRemovalEndsIteration) {
  EXPECT_EQ(list.RemoveFirst(), nullptr);
  EXPECT_EQ(list.RemoveLast(), nullptr);
  EXPECT_EQ(list.RemoveNext(nullptr), nullptr);
  EXPECT_EQ(list[0], nullptr);
  EXPECT_TRUE(Values().empty());
  list.InsertAfter(&b, nullptr);  // on an empty list: both first and last
  list.Append(&d);
  list.Insert(&a);
  list.InsertAfter(&c, &b);
  other.Append(&b);
  list.Append(&a);
  EXPECT_FALSE(other.Remove(&c));
  EXPECT_EQ(Values(), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(list[3], &d);
  EXPECT_TRUE(other.empty());
  std::vector<int> seen;
  LSLinkIter<SItem> iter(list);
  while (iter) {
    seen.push_back(iter->value);
    if (iter.current() == &b) list.Remove(&b);  // removing the current element ends it
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST_F(LSLinkTest, RemovingAtTheEndAndDetachKeepAppendAtTheEnd) {
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
  other.Append(&b);
  other.Append(&c);
  other.Detach(list);  // appends the whole chain in order
  list.Append(&a);
  EXPECT_EQ(Values(), (std::vector<int>{4, 2, 3, 1}));
  EXPECT_TRUE(other.empty());
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
