// DMX turns (size rules, copy, equality, completion) and the pins that pass them.
#include "CDmxTurn.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "CDmxPin.h"
#include "CTestOPin.h"

namespace {

TEST(DmxTurn, SizeIsClampedAndGrowingZeroFills) {
  CDmxTurn t;
  EXPECT_EQ(t.size(), 1u);
  EXPECT_EQ(t.data()[0], 0);
  EXPECT_EQ(t.SetSize(0), 1u);
  EXPECT_EQ(t.SetSize(600), 513u);
  for (unsigned i = 0; i < 513; ++i) ASSERT_EQ(t.data()[i], 0) << i;

  std::memset(t.data(), 0xAB, 513);
  t.SetSize(10);
  EXPECT_EQ(t.SetSize(20), 20u);
  for (unsigned i = 0; i < 20; ++i) EXPECT_EQ(t.data()[i], i < 10 ? 0xAB : 0) << i;
  EXPECT_EQ(t.data()[20], 0xAB) << "bytes past the new size are left alone";
}

TEST(DmxTurn, AssignmentCopiesAllButIdentityAndEqualityLooksWithinTheSize) {
  std::vector<CDmxTurn*> done;
  auto onDone = [](void* ctx, CDmxTurn* t) {
    static_cast<std::vector<CDmxTurn*>*>(ctx)->push_back(t);
  };
  CDmxTurn src, dst({&done, onDone});
  src.SetSize(513);
  for (unsigned i = 0; i < 513; ++i) src.data()[i] = static_cast<std::uint8_t>(i * 7);
  src.SetSize(3);  // bytes past the size still travel with the copy
  dst = src;
  EXPECT_EQ(dst.size(), 3u);
  EXPECT_EQ(std::memcmp(dst.data(), src.data(), 513), 0);
  dst.data()[7] = 9;  // beyond the size
  EXPECT_TRUE(dst == src);
  dst.data()[2] = 1;
  EXPECT_FALSE(dst == src);
  dst.data()[2] = src.data()[2];
  dst.SetSize(4);
  EXPECT_FALSE(dst == src) << "same first bytes, different sizes";
  dst.Done();
  EXPECT_EQ(done, std::vector<CDmxTurn*>{&dst}) << "the target keeps its own callback";
}

// Records every pin notification with the pin the turn named at that moment.
struct SPinLog {
  std::vector<std::pair<CDmxIPin::PinFunc, CDmxIPin*>> calls;
  static void Notify(void* ctx, CDmxIPin::PinFunc f, CDmxPin*, CDmxTurn* t) {
    static_cast<SPinLog*>(ctx)->calls.emplace_back(f, t->pin());
  }
};

TEST(DmxPin, PassedTurnIsHeldUntilDoneOrCancelFreesItBeforeTheCallback) {
  SPinLog log;
  CDmxIPin in({&log, &SPinLog::Notify});
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
  EXPECT_TRUE(log.calls.empty());

  out.Connect(&in);
  out.Pass(&t);
  t.Done();
  EXPECT_EQ(t.pin(), &in);
  t.Cancel();
  t.Cancel();  // a second cancel finds no pin
  EXPECT_EQ(t.pin(), nullptr);
  using P = CDmxIPin;
  EXPECT_EQ(log.calls, (std::vector<std::pair<P::PinFunc, P*>>{
                           {P::kPinPass, &in}, {P::kPinPass, &in}, {P::kPinCancel, nullptr}}));
}

TEST(DmxPin, ConnectingIsMutualOnlyBetweenFreePinsOfBothDirectionsUntilEitherGoes) {
  CDmxIPin in({}), otherIn({});
  CTestOPin out, otherOut;
  EXPECT_FALSE(in.Connect(nullptr));
  EXPECT_FALSE(in.Connect(&otherIn)) << "input to input";
  EXPECT_EQ(in.partner(), nullptr);

  EXPECT_TRUE(in.Connect(&out));
  EXPECT_EQ(out.partner(), &in);
  EXPECT_TRUE(in.Connect(&out)) << "the present partner";
  EXPECT_FALSE(in.Connect(&otherOut)) << "already connected elsewhere";
  EXPECT_FALSE(otherOut.Connect(&in)) << "the input pin is taken";
  EXPECT_EQ(otherOut.partner(), nullptr);

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
