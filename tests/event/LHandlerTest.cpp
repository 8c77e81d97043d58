// How events travel along handler chains.
#include "LHandler.h"

#include <gtest/gtest.h>

#include <string>

#include "CRecorder.h"

namespace {

constexpr LCStr rPing{"Test_Ping"};
constexpr LCStr rPong{"Test_Pong"};

// A chain raiser -> mid -> top, where nobody consumes unless told to.
class HandlerChain : public ::testing::Test {
 protected:
  CRecorder top{nullptr, false};
  CRecorder mid{&top, false};
  CRecorder raiser{&mid, false};

  void Raise() { LHandler::Dispatch(LEvent(rPing, &raiser, raiser.next())); }
  static std::string Path(CRecorder const& r) {
    std::string s;
    for (auto const& e : r.mSeen) s += e.name + ";";
    return s;
  }
};

TEST_F(HandlerChain, UnconsumedEventClimbsThenReturnsOnceToItsSource) {
  Raise();
  EXPECT_EQ(mid.count(rPing, &raiser), 1);
  EXPECT_EQ(top.count(rPing, &raiser), 1);
  EXPECT_EQ(raiser.count(rPing, &raiser), 1) << "the raiser sees its own event once, last";
}

TEST_F(HandlerChain, ConsumedEventGoesNoFurther) {
  mid.mConsume = true;
  Raise();
  EXPECT_EQ(mid.count(rPing), 1);
  EXPECT_EQ(top.count(rPing), 0);
  EXPECT_EQ(raiser.count(rPing), 0);
}

TEST_F(HandlerChain, EmptyEventOrNullTargetCallsNobody) {
  LHandler::Dispatch(LEvent());
  LHandler::Dispatch(LEvent(rPing, &raiser, nullptr));
  LHandler::Dispatch(LEvent(rPing, nullptr, &mid));
  EXPECT_TRUE(mid.mSeen.empty());
  EXPECT_TRUE(raiser.mSeen.empty());
}

TEST_F(HandlerChain, TopOfChainSendsTheEventBackToItsSource) {
  LHandler::Dispatch(LEvent(rPing, &mid, &top));
  EXPECT_EQ(top.count(rPing), 1);
  EXPECT_EQ(mid.count(rPing), 1);
  EXPECT_EQ(raiser.count(rPing), 0);
}

// A handler that translates the raiser's event into one of its own.
class CTranslator : public LHandler {
 public:
  using LHandler::LHandler;
  LEvent HandleEvent(LEvent const& e) override {
    if (e.is(rPing)) return LEvent(rPong, this, next());
    return LHandler::HandleEvent(e);
  }
};

TEST(HandlerTranslate, TranslatedEventTravelsOnEvenBackToTheFirstRaiser) {
  CRecorder top{nullptr, false};
  CTranslator mid{&top};
  CRecorder raiser{&mid, false};
  LHandler::Dispatch(LEvent(rPing, &raiser, &mid));
  EXPECT_EQ(top.count(rPong, &mid), 1);
  EXPECT_EQ(top.count(rPing), 0);
  // The pong returns once to its own source (mid), which ends it there: the first
  // raiser never sees its ping come back.
  EXPECT_EQ(raiser.count(rPing), 0);
}

TEST(HandlerNames, EqualTextUnderAnotherPointerIsTheSameName) {
  static char const copy[] = "Test_Ping";
  ASSERT_NE(static_cast<char const*>(copy), rPing.mText);
  LEvent e(LCStr(copy), nullptr, nullptr);
  EXPECT_TRUE(e.is(rPing));
  EXPECT_FALSE(e.is(rPong));
  CRecorder src;
  LEvent f(rPing, &src, nullptr);
  EXPECT_TRUE(f.is(rPing, &src));
  CRecorder other;
  EXPECT_FALSE(f.is(rPing, &other));
}

TEST(HandlerLifecycle, DestroyingAHandlerTellsItsNextHandler) {
  CRecorder owner;
  LHandler* dyingAddress;
  {
    CRecorder dying{&owner};
    dyingAddress = &dying;
  }
  ASSERT_EQ(owner.mSeen.size(), 1u);
  EXPECT_EQ(owner.mSeen[0].name, LHandler::rDestructing.mText);
  EXPECT_EQ(owner.mSeen[0].source, dyingAddress);
}

TEST(HandlerFind, WalksFromFromUntilStop) {
  CRecorder a, b{&a}, c{&b}, d{&c};  // d -> c -> b -> a
  EXPECT_FALSE(LHandler::Find(&a, &d, nullptr));
  EXPECT_TRUE(LHandler::Find(&b, &d, &b)) << "wanted is stop";
  CRecorder elsewhere;
  EXPECT_TRUE(LHandler::Find(&elsewhere, &d, &elsewhere)) << "even when stop is off the chain";
  EXPECT_TRUE(LHandler::Find(nullptr, &d, &a));
  EXPECT_FALSE(LHandler::Find(&b, &d, &a)) << "stop comes first";
  EXPECT_FALSE(LHandler::Find(nullptr, &c, &d)) << "the walk only goes up";
  EXPECT_TRUE(LHandler::Find(&a, &d, &d));
}

}  // namespace
