// DMX turns (size rules, copy, equality, completion) and the pins that pass them.
#include "CDmxTurn.h"

#include <gtest/gtest.h>

#include <cstring>
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
  for (unsigned i = 0; i < 10; ++i) EXPECT_EQ(t.data()[i], 0xAB) << i;
  for (unsigned i = 10; i < 20; ++i) EXPECT_EQ(t.data()[i], 0) << i;
  EXPECT_EQ(t.data()[20], 0xAB) << "bytes past the new size are left alone";
}

TEST(DmxTurn, EqualityLooksOnlyAtTheBytesWithinTheSize) {
  CDmxTurn a, b;
  a.SetSize(5);
  b.SetSize(6);
  EXPECT_FALSE(a == b) << "same first bytes, different sizes";
  b.SetSize(5);
  b.data()[7] = 9;  // beyond the size
  EXPECT_TRUE(a == b);
  b.data()[4] = 1;
  EXPECT_FALSE(a == b);
}

struct SDoneLog {
  std::vector<CDmxTurn*> done;
  static void Done(void* ctx, CDmxTurn* t) { static_cast<SDoneLog*>(ctx)->done.push_back(t); }
};

struct SPinLog {
  std::vector<CDmxIPin::PinFunc> calls;
  std::vector<CDmxTurn*> turns;
  static void Notify(void* ctx, CDmxIPin::PinFunc f, CDmxPin*, CDmxTurn* t) {
    auto* log = static_cast<SPinLog*>(ctx);
    log->calls.push_back(f);
    log->turns.push_back(t);
  }
};

TEST(DmxTurn, AssignmentCopiesSizeAndEveryByteButKeepsIdentity) {
  SDoneLog log;
  CDmxTurn src, dst({&log, &SDoneLog::Done});
  src.SetSize(513);
  for (unsigned i = 0; i < 513; ++i) src.data()[i] = static_cast<std::uint8_t>(i * 7);
  src.SetSize(3);  // bytes past the size still travel with the copy
  dst = src;
  EXPECT_EQ(dst.size(), 3u);
  EXPECT_EQ(std::memcmp(dst.data(), src.data(), 513), 0);
  dst.Done();
  EXPECT_EQ(log.done, std::vector<CDmxTurn*>{&dst}) << "the target keeps its own callback";
}

TEST(DmxTurn, DoneAndCancelFreeTheTurnBeforeTheirCallbacks) {
  SPinLog pinLog;
  CDmxIPin pin({&pinLog, &SPinLog::Notify});
  CDmxTurn bare;
  bare.Done();  // no callback: only frees it
  EXPECT_EQ(bare.pin(), nullptr);
  bare.Cancel();  // held by no pin: nothing happens
  EXPECT_TRUE(pinLog.calls.empty());

  pin.Pass(&bare);
  EXPECT_EQ(bare.pin(), &pin);
  bare.Cancel();
  EXPECT_EQ(bare.pin(), nullptr);
  EXPECT_EQ(pinLog.calls,
            (std::vector<CDmxIPin::PinFunc>{CDmxIPin::kPinPass, CDmxIPin::kPinCancel}));
  bare.Cancel();  // a second cancel finds no pin
  EXPECT_EQ(pinLog.calls.size(), 2u);
}

TEST(DmxTurn, DoneCallbackMayPassTheTurnOnAgainAtOnce) {
  SPinLog pinLog;
  CDmxIPin pin({&pinLog, &SPinLog::Notify});
  struct SAgain {
    CDmxIPin* pin;
    int passes = 0;
    static void Done(void* ctx, CDmxTurn* t) {
      auto* a = static_cast<SAgain*>(ctx);
      EXPECT_EQ(t->pin(), nullptr);
      if (++a->passes < 2) a->pin->Pass(t);
    }
  } again{&pin};
  CDmxTurn t({&again, &SAgain::Done});
  pin.Pass(&t);
  t.Done();
  EXPECT_EQ(t.pin(), &pin) << "passed on again from its own completion";
  EXPECT_EQ(pinLog.calls.size(), 2u);
}

TEST(DmxPin, PassWithoutTurnOrCallbackDoesNothing) {
  SPinLog log;
  CDmxIPin pin({&log, &SPinLog::Notify});
  CDmxIPin deaf({});
  pin.Pass(nullptr);
  CDmxTurn t;
  deaf.Pass(&t);
  EXPECT_EQ(t.pin(), nullptr);
  EXPECT_TRUE(log.calls.empty());
}

TEST(DmxPin, ConnectingIsMutualAndOnlyBetweenDirections) {
  CDmxIPin in({}), otherIn({});
  CTestOPin out, otherOut;
  EXPECT_FALSE(in.Connect(nullptr));
  EXPECT_FALSE(in.Connect(&otherIn)) << "input to input";
  EXPECT_EQ(in.partner(), nullptr);

  EXPECT_TRUE(in.Connect(&out));
  EXPECT_EQ(in.partner(), &out);
  EXPECT_EQ(out.partner(), &in);
  EXPECT_TRUE(in.Connect(&out)) << "the present partner";
  EXPECT_FALSE(in.Connect(&otherOut)) << "already connected elsewhere";
  EXPECT_EQ(otherOut.partner(), nullptr);

  in.Disconnect(&otherOut);  // not the partner: ignored
  EXPECT_EQ(in.partner(), &out);
  out.Disconnect(&in);
  EXPECT_EQ(in.partner(), nullptr);
  EXPECT_EQ(out.partner(), nullptr);
}

TEST(DmxPin, OutputPinConnectsToAnInputThatIsFree) {
  CDmxIPin in({});
  CTestOPin out, second;
  EXPECT_TRUE(out.Connect(&in));
  EXPECT_EQ(in.partner(), &out);
  EXPECT_FALSE(second.Connect(&in)) << "the input pin is taken";
  EXPECT_EQ(second.partner(), nullptr);
}

TEST(DmxPin, DestroyingEitherSideDisconnectsTheOther) {
  CDmxIPin in({});
  {
    CTestOPin out;
    ASSERT_TRUE(in.Connect(&out));
  }
  EXPECT_EQ(in.partner(), nullptr);

  CTestOPin out;
  {
    CDmxIPin dying({});
    ASSERT_TRUE(out.Connect(&dying));
  }
  EXPECT_EQ(out.partner(), nullptr);
}

TEST(DmxPin, OutputPinHandsTurnsToItsPartner) {
  SPinLog log;
  CDmxIPin in({&log, &SPinLog::Notify});
  CTestOPin out;
  CDmxTurn t;
  out.Pass(&t);  // unconnected: goes nowhere
  EXPECT_TRUE(log.calls.empty());
  out.Connect(&in);
  out.Pass(&t);
  EXPECT_EQ(log.turns, std::vector<CDmxTurn*>{&t});
  EXPECT_EQ(t.pin(), &in);
}

}  // namespace
