// DMX turns (size rules, copy, equality, completion) and the pins that pass them.
#include "CDmxTurn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "CDmxPin.h"
#include "CTestOPin.h"

namespace {

TEST(DmxTurn, SizeIsClampedGrowingZeroFillsAndCopiesKeepTheirCallback) {
  int done = 0;
  auto count = [](void* ctx, CDmxTurn*) { ++*static_cast<int*>(ctx); };
  CDmxTurn t, copy({&done, count});
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(t.data()[0], 0);
  EXPECT_EQ(t.SetSize(0), 1u);
  EXPECT_EQ(t.SetSize(600), 513u);
  EXPECT_EQ(std::count(t.data(), t.data() + 513, 0), 513);
  for (unsigned i = 0; i < 513; ++i) t.data()[i] = static_cast<std::uint8_t>(i * 7 + 1);
  t.SetSize(10);
  EXPECT_EQ(t.SetSize(20), 20u);
  for (unsigned i = 0; i <= 20; ++i) EXPECT_EQ(t.data()[i] == 0, i >= 10 && i < 20) << i;

  t.SetSize(3);  // bytes past the size still travel with the copy
  copy = t;
  EXPECT_EQ(copy.size(), 3u);
  EXPECT_EQ(std::memcmp(copy.data(), t.data(), 513), 0);
  copy.data()[7] = 9;  // beyond the size
  EXPECT_TRUE(copy == t);
  copy.data()[2] = 1;
  EXPECT_FALSE(copy == t);
  copy.data()[2] = t.data()[2];
  copy.SetSize(4);
  EXPECT_FALSE(copy == t) << "same first bytes, different sizes";
  copy.Done();
  EXPECT_EQ(done, 1) << "the target keeps its own callback";
}

TEST(DmxPin, PassedTurnIsHeldUntilDoneOrCancelFreesItBeforeTheCallback) {
  std::string log;  // each notification, and whether the turn named a pin at that moment
  CDmxIPin in({&log, [](void* ctx, CDmxIPin::PinFunc f, CDmxPin*, CDmxTurn* t) {
                 *static_cast<std::string*>(ctx) +=
                     std::string(f == CDmxIPin::kPinCancel ? "cancel" : "pass") +
                     (t->pin() ? "+ " : "- ");
               }});
  CTestOPin out;
  auto passAgain = [](void* ctx, CDmxTurn* t) {  // passed on again from its own completion
    EXPECT_EQ(t->pin(), nullptr);
    static_cast<CDmxIPin*>(ctx)->Pass(t);
  };
  CDmxTurn bare, t({&in, passAgain});
  bare.Done();    // no callback: only frees it
  bare.Cancel();  // held by no pin: nothing happens
  out.Pass(&t);   // unconnected: goes nowhere
  in.Pass(nullptr);
  EXPECT_EQ(t.pin(), nullptr);
  EXPECT_EQ(log, "");

  out.Connect(&in);
  out.Pass(&t);
  t.Done();
  EXPECT_EQ(t.pin(), &in);
  t.Cancel();
  t.Cancel();  // a second cancel finds no pin
  EXPECT_EQ(t.pin(), nullptr);
  EXPECT_EQ(log, "pass+ pass+ cancel- ");
}

TEST(DmxPin, ConnectingIsMutualOnlyBetweenFreePinsOfBothDirectionsUntilEitherGoes) {
  CDmxIPin in({}), otherIn({});
  CTestOPin out, otherOut;
  EXPECT_FALSE(in.Connect(nullptr));
  EXPECT_FALSE(in.Connect(&otherIn)) << "input to input";
  EXPECT_TRUE(in.Connect(&out));
  EXPECT_EQ(out.partner(), &in);
  EXPECT_TRUE(in.Connect(&out)) << "the present partner";
  EXPECT_FALSE(in.Connect(&otherOut)) << "already connected elsewhere";
  EXPECT_FALSE(otherIn.Connect(&out)) << "the output pin is taken";
  EXPECT_EQ(otherIn.partner(), nullptr) << "a refused connection is undone";

  in.Disconnect(&otherOut);  // not the partner: ignored
  EXPECT_EQ(in.partner(), &out);
  out.Disconnect(&in);
  EXPECT_EQ(in.partner(), nullptr);
  EXPECT_EQ(out.partner(), nullptr);
  {
    CTestOPin dying;
    ASSERT_TRUE(in.Connect(&dying));
  }
  EXPECT_EQ(in.partner(), nullptr) << "destroying either side disconnects the other";
  {
    CDmxIPin dying({});
    ASSERT_TRUE(out.Connect(&dying));
  }
  EXPECT_EQ(out.partner(), nullptr);
}

}  // namespace
