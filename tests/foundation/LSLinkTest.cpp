// Tests of the intrusive lists and their iterator.
#include "LSLink.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

struct SPayload {
  virtual ~SPayload() = default;
};

// The link is deliberately not the first base, so every conversion has to adjust the pointer.
struct SItem : SPayload, SSLink {
  explicit SItem(int v) : value(v) {}
  ~SItem() override { ++destroyed; }
  int value;
  static inline int destroyed = 0;
};

// Walks the list, removing `drop` during its visit.
std::vector<int> Values(LSLink<SItem>& list, SItem* drop = nullptr) {
  std::vector<int> out;
  LSLinkIter<SItem> iter(list);
  while (iter) {
    out.push_back(iter->value);
    if (iter.current() == drop) list.Remove(drop);
  }
  return out;
}

TEST(LSLinkTest, LinkingKeepsOrderLeavesLinkedElementsAloneAndRemovalEndsIteration) {
  SItem a{1}, b{2}, c{3}, d{4};
  LSLink<SItem> list, other;
  EXPECT_EQ(list.RemoveLast(), nullptr);
  list.InsertAfter(&b, nullptr);  // on an empty list: both first and last
  list.Append(&d);
  list.Insert(&a);
  list.InsertAfter(&c, &b);
  other.Append(&b);
  list.Append(&a);
  EXPECT_FALSE(other.Remove(&c));
  EXPECT_TRUE(other.empty());
  EXPECT_EQ(Values(list, &b), (std::vector<int>{1, 2}));  // removing the current element ends it
}

TEST(LSLinkTest, LastElementBookkeepingDetachAndDeleteAll) {
  SItem a{1}, b{2}, c{3}, d{4};
  LSLink<SItem> list, other;
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
  EXPECT_EQ(Values(list), (std::vector<int>{4, 2, 3, 1}));
  other.Append(new SItem(5));
  const int before = SItem::destroyed;
  other.DeleteAll();
  EXPECT_EQ(SItem::destroyed, before + 1);
}

}  // namespace
