// The "Kelmar Network" patch: its ports and settings, validation, persistence, status and frames.
#include "QcKelmarPlugIn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

#include "CKelmarNetIO.h"
#include "CMemNet.h"
#include "CRecorder.h"
#include "CTestLoop.h"
#include "LString.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Keys = std::vector<std::string>;

constexpr std::int32_t kDefaultPort = 51209;

// Keys written as runs: {"-In1", "-In2", "-In3", "+In13"} is "-In1..3 +In13".
std::string Runs(Keys const& keys) {
  std::string out;
  for (std::size_t i = 0, j; i < keys.size(); i = j) {
    const std::size_t digits = keys[i].find_first_of("0123456789");
    const std::string head = keys[i].substr(0, digits);
    const int first = std::stoi(keys[i].substr(digits));
    for (j = i + 1; j < keys.size() && keys[j] == head + std::to_string(first + int(j - i));) ++j;
    out += (out.empty() ? "" : " ") + keys[i];
    if (j - i > 1) out += ".." + std::to_string(first + int(j - i) - 1);
  }
  return out;
}

// A received level as the patch shows it: level / 255 in single precision.
double Shown(int level) {
  return double(float(level / 255.0));
}

// A patch on the in-memory network, with a partner that can connect to it.
class PlugInTest : public ::testing::Test {
 protected:
  // Logs every port change as "+In13", "-Out1" and so on ("!" when on the wrong side), and
  // connects a requesting partner that records the turns it receives.
  void SetUp() override {
    net.SetNextHost(CMemNet::Host(20));
    plugIn = std::make_unique<QcKelmarPlugIn>();
    ASSERT_TRUE(plugIn->startExecution(&context));
    plugIn->mPortObserver = [this](QCPlugIn::PortChange c, std::string const& key) {
      const int i = int(c);  // add input, remove input, add output, remove output
      changes.push_back((i % 2 ? "-" : "+") +
                        std::string(key.starts_with("In") == (i < 2) ? "" : "!") + key);
    };
    net.SetNextHost(CMemNet::Host(10));
    partner = std::make_unique<CKelmarNetPeer>(&partnerOwner, loop.world());
    partnerOwner.mOnEvent = [this](LEvent const& e) {
      if (e.is(CKelmarNetPeer::rRecv, partner.get()))
        partnerTurns.emplace_back(partner->recvTurn(), partner->recvTurn() + partner->recvSize());
    };
    ASSERT_TRUE(partner->Open(0));
    partner->Connect({CMemNet::Host(20), kDefaultPort}, LString());
    loop.Advance(10);
    ASSERT_EQ(peer().state(), CKelmarNetPeer::stConnected);
  }

  void Set(std::string const& key, QCValue const& v) { plugIn->setValueForKey(v, key); }
  void Restore(std::string const& key, double v) { plugIn->setSerializedValueForKey(v, key); }
  double Saved(std::string const& k) { return std::get<double>(plugIn->serializedValueForKey(k)); }
  // The keys of the input ports, then of the output ports, as runs.
  std::string Ports() const {
    Keys keys;
    for (auto const* ports : {&plugIn->inputPorts(), &plugIn->outputPorts()})
      for (auto const& p : *ports) keys.push_back(p.key);
    return Runs(keys);
  }
  bool Execute() { return plugIn->execute(&context, 0.0, {}); }
  void SetIn(int k, QCValue const& v) {
    ASSERT_TRUE(plugIn->setValueForInputKey(v, "In" + std::to_string(k))) << "no port In" << k;
  }
  double Out(int k) const {
    return std::get<double>(plugIn->valueForOutputKey("Out" + std::to_string(k)));
  }
  std::uint8_t* tx() const { return plugIn->io()->txTurn().data(); }
  // Executes on an outgoing turn soiled with stale bytes, so that every byte the frame
  // must clear is seen cleared; the turn it leaves.
  Bytes Frame() {
    std::fill(tx() + 1, tx() + 513, 0xEE);
    EXPECT_TRUE(Execute());
    return Bytes(tx(), tx() + 513);
  }
  // A turn of zeros but for the given slots.
  static Bytes Levels(std::initializer_list<std::pair<int, int>> slots) {
    Bytes out(513, 0);
    for (auto [k, level] : slots) out[k] = std::uint8_t(level);
    return out;
  }
  CKelmarNetPeer& peer() const { return plugIn->io()->peer(); }
  std::string status() const { return std::get<std::string>(plugIn->valueForKey("udpStatus")); }
  bool Bound(std::int32_t port) const { return net.Find({CMemNet::Host(20), port}) != nullptr; }

  // The partner sends a turn whose slot k holds `level(k)`, start code 0, and it arrives.
  void PartnerSends(std::function<int(int)> const& level) {
    CDmxTurn t;
    t.SetSize(513);
    for (int k = 1; k < 513; ++k) t.data()[k] = static_cast<std::uint8_t>(level(k));
    partner->SendTurnA(t);
    loop.Advance(1);
  }

  CTestLoop loop;
  CMemNet net{loop.world()};
  QCPlugInContext context;
  std::unique_ptr<QcKelmarPlugIn> plugIn;
  Keys changes;
  CRecorder partnerOwner;
  std::unique_ptr<CKelmarNetPeer> partner;
  std::vector<Bytes> partnerTurns;
};

TEST_F(PlugInTest, ValidationCorrectsWithoutApplyingAndEachChangeRebuildsOnlyWhatChanged) {
  // Proposed and corrected values; validation always says yes and leaves the error alone.
  const std::tuple<char const*, QCValue, double> table[] = {
      {"inBase", 0.0, 1},        {"inBase", -1e10, 1},        {"inChannels", 7.9, 7},
      {"outBase", 513.0, 512},   {"outChannels", "600", 512}, {"outChannels", 1e10, 512},
      {"udpPort", 1023.0, 1024}, {"udpPort", 65536.0, 65535}};
  int row = 0;
  for (auto const& [key, proposed, corrected] : table) {
    QCValue v = proposed;
    std::string error = "untouched";
    EXPECT_TRUE(plugIn->validateValueForKeyError(v, key, &error) && error == "untouched") << row;
    EXPECT_EQ(v, QCValue(corrected)) << "row " << row++;
  }
  // The defaults stand: twelve ports each way, the saved values and an open port.
  EXPECT_EQ(Ports(), "In1..12 Out1..12");
  const Keys keys = plugIn->savedKeys();
  ASSERT_EQ(keys, (Keys{"udpPort", "inBase", "inChannels", "outBase", "outChannels"}));
  const double want[] = {51209, 1, 12, 1, 12};
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(Saved(keys[i]), want[i]) << keys[i];
  EXPECT_EQ(peer().port(), std::uint32_t{kDefaultPort});
  EXPECT_EQ(status(), "Port is open.");

  // Each step starts where the one before ended; a change removes, then adds, in channel
  // order. Ranges are cut at 512: moving [505, 1017) to [1, 513) leaves the old ports.
  const std::tuple<char const*, double, char const*> steps[] = {
      {"inBase", 5, "-In1..4 +In13..16"},
      {"inBase", 1, "-In13..16 +In1..4"},
      {"inChannels", 8, "-In9..12"},
      {"inChannels", 12, "+In9..12"},
      {"outBase", 505, "-Out1..12 +Out505..512"},
      {"inBase", 100, "-In1..12 +In100..111"},
      {"inBase", 505, "-In100..111 +In505..512"},
      {"inChannels", 512, ""},
      {"inBase", 1, "+In1..504"}};
  for (auto const& [key, value, changed] : steps) {
    changes.clear();
    Set(key, value);
    EXPECT_EQ(Runs(changes), changed) << key << " " << value;
  }
  plugIn.reset();
  EXPECT_FALSE(Bound(kDefaultPort)) << "destroying the patch frees its port";
}

TEST_F(PlugInTest, EqualValuesAndTheStatusChangeNothingAndAHeldPortIsRetriedOnTheNextChange) {
  std::vector<std::uint32_t> portWhenTold;
  plugIn->addObserverForKey("udpStatus", [&] { portWhenTold.push_back(peer().port()); });
  for (auto const& key : plugIn->savedKeys()) Set(key, plugIn->valueForKey(key));
  Set("inChannels", 12.6);  // reads as 12
  Set("udpPort", 51209.4);  // reads as 51209
  EXPECT_EQ(Runs(changes), "");
  Set("udpStatus", std::string("anything"));  // tells its observers and nothing else
  EXPECT_EQ(peer().state(), CKelmarNetPeer::stConnected) << "a reopen would drop the partner";

  CRecorder owner;
  net.SetNextHost(CMemNet::Host(20));  // the patch's own host
  std::unique_ptr<CUDPPort> holder(CUDPPortIF::NewPort(&owner, loop.world()));
  ASSERT_EQ(holder->Open(40000, 0, 1024), 0);
  Set("udpPort", 40000.0);
  EXPECT_EQ(status(), "Cannot use the port.");
  EXPECT_EQ(peer().state(), CKelmarNetPeer::stIdle) << "closing dropped the connection";
  EXPECT_FALSE(Bound(kDefaultPort)) << "the old port was let go";
  SetIn(1, 1.0);
  EXPECT_EQ(Frame(), Levels({{1, 255}})) << "frames go on without a port";
  Set("udpPort", 40001.0);
  EXPECT_EQ(status(), "Port is open.");
  // Each attempt at a port is announced once, after it.
  EXPECT_EQ(portWhenTold, (std::vector<std::uint32_t>{51209u, CKelmarNetPeer::kNoPort, 40001u}));
}

TEST_F(PlugInTest, FramesSendTheInputRangeAndShowTheLevelsReceived) {
  const int received[] = {128, 255, 51, 0, 1, 254};
  PartnerSends([&](int k) { return k <= 6 ? received[k - 1] : 0; });
  SetIn(1, 1.0);
  SetIn(6, 0.2);
  SetIn(12, 0.5);
  const Bytes first = Levels({{1, 255}, {6, 51}, {12, 127}});
  EXPECT_EQ(Frame(), first);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(Out(k), Shown(received[k - 1])) << "Out" << k;
  EXPECT_NEAR(Out(1), 0.50196, 1e-5);
  loop.Advance(1);
  EXPECT_EQ(partnerTurns, std::vector<Bytes>{first});

  PartnerSends([](int) { return 30; });
  Set("inBase", 5.0);
  Set("inChannels", 3.0);
  EXPECT_EQ(Frame(), Levels({{6, 51}})) << "ports that stay keep their values";
  EXPECT_EQ(Out(1), Shown(30)) << "outputs follow each new turn";
  Set("inBase", 510.0);
  Set("inChannels", 12.0);
  SetIn(510, 0.2);
  SetIn(512, 1.0);
  EXPECT_EQ(Frame(), Levels({{510, 51}, {512, 255}}));

  // An input value, and the level sent for it.
  const std::pair<QCValue, int> sent[] = {
      {1.5, 255}, {1.0, 255}, {-0.25, 0},      {0.5, 127},     {0.999, 254},   {0.004, 1},
      {0.003, 0}, {NAN, 0},   {HUGE_VAL, 255}, {-HUGE_VAL, 0}, {QCValue(), 0}, {"not a number", 0}};
  int row = 0;
  for (auto const& [input, level] : sent) {
    SetIn(510, input);
    EXPECT_TRUE(Execute());
    EXPECT_EQ(tx()[510], level) << "row " << row++;
  }
}

TEST_F(PlugInTest, RestoredSettingsAreBoundedByTheSettersAndFramesStayInsideTheTurn) {
  Restore("inBase", 100000);
  Restore("outBase", 100000);
  Restore("outChannels", -3);
  EXPECT_EQ(Saved("inBase"), 512.0);
  EXPECT_EQ(Ports(), "In512 Out512");
  PartnerSends([](int k) { return k == 512 ? 77 : 1; });
  SetIn(512, 1.0);
  EXPECT_EQ(Frame(), Levels({{512, 255}}));
  EXPECT_EQ(Out(512), Shown(77));
  Restore("inChannels", -3);
  EXPECT_EQ(Saved("inChannels"), 1.0);
  Restore("udpPort", 80);
  EXPECT_EQ(peer().port(), 1024u);
  Restore("udpPort", 70000);
  EXPECT_EQ(Saved("udpPort"), 65535.0);
  EXPECT_EQ(peer().port(), 65535u);
  EXPECT_FALSE(Bound(70000 & 0xFFFF)) << "port 4464 is not bound";
}

// A host restores the saved settings between building the patch and starting it. The
// port opens once, at the start, on the restored setting: a default port held by another
// program is never tried.
TEST_F(PlugInTest, ThePortOpensOnceWhenExecutionStartsOnTheSettingRestoredBefore) {
  plugIn.reset();
  CRecorder owner;
  net.SetNextHost(CMemNet::Host(20));
  std::unique_ptr<CUDPPort> holder(CUDPPortIF::NewPort(&owner, loop.world()));
  ASSERT_EQ(holder->Open(kDefaultPort, 0, 1024), 0);
  net.SetNextHost(CMemNet::Host(20));
  plugIn = std::make_unique<QcKelmarPlugIn>();
  std::vector<std::uint32_t> portWhenTold;
  plugIn->addObserverForKey("udpStatus", [&] { portWhenTold.push_back(peer().port()); });
  Restore("udpPort", 40000);
  Set("inBase", 3.0);
  EXPECT_EQ(peer().port(), CKelmarNetPeer::kNoPort) << "nothing is bound before the start";
  EXPECT_EQ(status(), "Cannot use the port.");

  EXPECT_TRUE(plugIn->startExecution(&context));
  EXPECT_TRUE(plugIn->startExecution(&context)) << "a second start leaves the port alone";
  EXPECT_EQ(status(), "Port is open.");
  EXPECT_EQ(portWhenTold, std::vector<std::uint32_t>{40000u}) << "one attempt, announced once";

  // The port serves: a partner connects to it and gets the frames.
  partner->Connect({CMemNet::Host(20), 40000}, LString());
  loop.Advance(10);
  ASSERT_EQ(peer().state(), CKelmarNetPeer::stConnected);
  SetIn(3, 1.0);
  const Bytes sent = Frame();
  loop.Advance(1);
  ASSERT_FALSE(partnerTurns.empty());
  EXPECT_EQ(partnerTurns.back(), sent);
  EXPECT_EQ(sent, Levels({{3, 255}}));
}

}  // namespace
