// How events travel along handler chains.
#include "LHandler.h"

#include <gtest/gtest.h>

#include "CRecorder.h"

namespace {

constexpr LCStr rPing{"Test_Ping"};
constexpr LCStr rPong{"Test_Pong"};

// Translates a ping into a pong of its own.
class CTranslator : public LHandler {
 public:
  using LHandler::LHandler;
  LEvent HandleEvent(LEvent const& e) override {
    if (e.is(rPing)) return LEvent(rPong, this, next());
    return LHandler::HandleEvent(e);
  }
};

// raiser -> mid -> top, where nobody consumes unless told to.
TEST(Handler, UnconsumedEventReturnsOnceToItsSourceConsumedStopsEmptyGoesNowhere) {
  CRecorder top{nullptr, false}, mid{&top, false}, raiser{&mid, false};
  LHandler::Dispatch(LEvent(rPing, &raiser, raiser.next()));
  EXPECT_EQ(mid.count(rPing, &raiser), 1);
  EXPECT_EQ(top.count(rPing, &raiser), 1);
  EXPECT_EQ(raiser.count(rPing, &raiser), 1) << "the raiser sees its own event once, last";
  LHandler::Dispatch(LEvent(rPing, &mid, &top));  // from the top back to its source
  EXPECT_EQ(top.count(rPing, &mid), 1);
  EXPECT_EQ(mid.count(rPing, &mid), 1);
  mid.mConsume = true;
  LHandler::Dispatch(LEvent(rPing, &raiser, raiser.next()));
  EXPECT_EQ(mid.count(rPing, &raiser), 2);
  EXPECT_EQ(top.count(rPing), 2);
  EXPECT_EQ(raiser.count(rPing), 1);
  LHandler::Dispatch(LEvent());  // empty events and null targets call nobody
  LHandler::Dispatch(LEvent(rPing, &raiser, nullptr));
  LHandler::Dispatch(LEvent(rPing, nullptr, &mid));
  EXPECT_EQ(mid.mSeen.size() + top.mSeen.size() + raiser.mSeen.size(), 6u);
}

TEST(Handler, TranslatedEventTravelsOnAndEndsAtTheTranslatorNotTheFirstRaiser) {
  CRecorder top{nullptr, false};
  CTranslator mid{&top};
  CRecorder raiser{&mid, false};
  LHandler::Dispatch(LEvent(rPing, &raiser, &mid));
  EXPECT_EQ(top.count(rPong, &mid), 1);
  EXPECT_EQ(top.count(rPing) + raiser.count(rPing), 0);
}

TEST(Handler, NamesCompareByTextAndSourcesByAddress) {
  static char const copy[] = "Test_Ping";
  ASSERT_NE(static_cast<char const*>(copy), rPing.mText);
  CRecorder src, other;
  LEvent e(LCStr(copy), &src, nullptr);
  EXPECT_TRUE(e.is(rPing) && e.is(rPing, &src));
  EXPECT_FALSE(e.is(rPong) || e.is(rPing, &other));
}

TEST(Handler, DestroyingAHandlerTellsItsNextHandler) {
  CRecorder owner;
  LHandler* dying;
  {
    CRecorder d{&owner};
    dying = &d;
  }
  ASSERT_EQ(owner.mSeen.size(), 1u);
  EXPECT_EQ(owner.mSeen[0].name, LHandler::rDestructing.mText);
  EXPECT_EQ(owner.mSeen[0].source, dying);
}

}  // namespace
