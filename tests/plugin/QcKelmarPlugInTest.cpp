// The "Kelmar Network" patch: its ports and settings, validation, persistence, status and frames.
#include "QcKelmarPlugIn.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "CKelmarNetIO.h"
#include "CMemNet.h"
#include "CRecorder.h"
#include "CTestLoop.h"
#include "LString.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Keys = std::vector<std::string>;
using PortChange = QCPlugIn::PortChange;

constexpr std::int32_t kDefaultPort = 51209;

// "<prefix><first>" to "<prefix><last>", e.g. Range("-In", 1, 4) for four removals.
Keys Range(std::string const& prefix, int first, int last) {
  Keys out;
  for (int k = first; k <= last; ++k) out.push_back(prefix + std::to_string(k));
  return out;
}

Keys Concat(std::initializer_list<Keys> parts) {
  Keys out;
  for (auto const& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string Join(Keys const& keys) {
  std::string out;
  for (auto const& k : keys) out += (out.empty() ? "" : " ") + k;
  return out;
}

Keys KeysOf(std::vector<QCPlugIn::SPort> const& ports) {
  Keys out;
  for (auto const& p : ports) out.push_back(p.key);
  return out;
}

// A number, or NaN (which fails every comparison) when the value is not a number.
double Number(QCValue const& v) {
  auto const* d = std::get_if<double>(&v);
  return d ? *d : std::numeric_limits<double>::quiet_NaN();
}

std::string Text(QCValue const& v) {
  auto const* s = std::get_if<std::string>(&v);
  return s ? *s : "<not a text>";
}

// A port value as the patch publishes a received level: the level / 255 in single precision.
double Shown(int level) {
  return double(float(level / 255.0));
}

// A turn of `size` bytes whose slot k holds `level(k)`, start code 0.
template <class F>
struct STurnOf : CDmxTurn {
  STurnOf(std::uint32_t size, F level) {
    SetSize(size);
    for (std::uint32_t k = 1; k < size; ++k) data()[k] = static_cast<std::uint8_t>(level(int(k)));
  }
};

// ---- a patch on the in-memory network, with a partner that can connect to it -----------

class PlugInTest : public ::testing::Test {
 protected:
  PlugInTest() {
    net.SetNextHost(CMemNet::Host(20));
    plugIn = std::make_unique<QcKelmarPlugIn>();
  }

  // Records every port change from now on as "+In13", "-Out1" and so on.
  void WatchPorts() {
    plugIn->mPortObserver = [this](PortChange c, std::string const& key) {
      const bool add = c == PortChange::kAddInput || c == PortChange::kAddOutput;
      const bool input = c == PortChange::kAddInput || c == PortChange::kRemoveInput;
      // A key that does not match the side it was changed on shows up as such.
      const bool sideOk = (key.rfind("In", 0) == 0) == input;
      changes.push_back((add ? "+" : "-") + key + (sideOk ? "" : "(wrong side)"));
    };
  }

  // Counts the notifications of "udpStatus" from now on.
  void WatchStatus() {
    plugIn->addObserverForKey("udpStatus", [this] { ++statusNotes; });
  }

  void Set(char const* key, QCValue const& v) { plugIn->setValueForKey(v, key); }

  bool Execute() {
    QCPlugInContext context;
    return plugIn->execute(&context, 0.0, {});
  }

  void SetIn(int k, QCValue const& v) {
    ASSERT_TRUE(plugIn->setValueForInputKey(v, "In" + std::to_string(k))) << "no port In" << k;
  }
  double Out(int k) const { return Number(plugIn->valueForOutputKey("Out" + std::to_string(k))); }

  std::uint8_t const* tx() const { return plugIn->io()->txTurn().data(); }
  CKelmarNetPeer& peer() const { return plugIn->io()->peer(); }
  std::string status() const { return Text(plugIn->valueForKey("udpStatus")); }

  // A requesting peer connects to the patch on the default port.
  void ConnectPartner() {
    net.SetNextHost(CMemNet::Host(10));
    partner = std::make_unique<CKelmarNetPeer>(&partnerOwner, loop.world());
    partnerOwner.mOnEvent = [this](LEvent const& e) {
      if (e.is(CKelmarNetPeer::rRecv, partner.get()))
        partnerTurns.emplace_back(partner->recvTurn(), partner->recvTurn() + partner->recvSize());
    };
    ASSERT_TRUE(partner->Open(0));
    partner->Connect({CMemNet::Host(20), kDefaultPort}, LString());
    loop.Advance(10);
    ASSERT_EQ(partner->state(), CKelmarNetPeer::stConnected);
    ASSERT_EQ(peer().state(), CKelmarNetPeer::stConnected);
  }

  void PartnerSends(CDmxTurn const& t) {
    partner->SendTurnA(t);
    loop.Advance(1);
  }

  CTestLoop loop;
  CMemNet net{loop.world()};
  std::unique_ptr<QcKelmarPlugIn> plugIn;
  Keys changes;
  int statusNotes = 0;
  CRecorder partnerOwner;
  std::unique_ptr<CKelmarNetPeer> partner;
  std::vector<Bytes> partnerTurns;
};

// ---- a new patch ------------------------------------------------------------------------

using NewPlugInTest = PlugInTest;

TEST_F(NewPlugInTest, HasTwelveInputAndTwelveOutputPortsInChannelOrder) {
  EXPECT_EQ(KeysOf(plugIn->inputPorts()), Range("In", 1, 12));
  EXPECT_EQ(KeysOf(plugIn->outputPorts()), Range("Out", 1, 12));
}

TEST_F(NewPlugInTest, PortsAreNumberPortsLabelledWithTheirKeyAndStartingAtZero) {
  for (auto const* ports : {&plugIn->inputPorts(), &plugIn->outputPorts()}) {
    for (auto const& p : *ports) {
      EXPECT_EQ(p.type, QCPortTypeNumber) << p.key;
      EXPECT_EQ(p.attributes.size(), 2u) << p.key;
      EXPECT_EQ(Text(p.attributes.at(QCPortAttributeNameKey)), p.key);
      EXPECT_EQ(Text(p.attributes.at(QCPortAttributeDefaultValueKey)), "0") << p.key;
      EXPECT_EQ(Number(p.value), 0.0) << p.key;
    }
  }
}

TEST_F(NewPlugInTest, SavesTheFiveSettingsWithTheirDefaults) {
  EXPECT_EQ(plugIn->savedKeys(),
            (Keys{"udpPort", "inBase", "inChannels", "outBase", "outChannels"}));
  EXPECT_EQ(QcKelmarPlugIn::plugInKeys(), plugIn->savedKeys());
  const double want[] = {51209, 1, 12, 1, 12};
  const Keys keys = plugIn->savedKeys();
  for (std::size_t i = 0; i < keys.size() && i < 5; ++i)
    EXPECT_EQ(Number(plugIn->serializedValueForKey(keys[i])), want[i]) << keys[i];
}

TEST_F(NewPlugInTest, OpensTheDefaultPortAndSaysSo) {
  EXPECT_EQ(peer().port(), std::uint32_t{kDefaultPort});
  EXPECT_EQ(status(), "Port is open.");
}

TEST_F(NewPlugInTest, ListensWithoutStartingAConnection) {
  EXPECT_TRUE(peer().listen());
  EXPECT_EQ(peer().state(), CKelmarNetPeer::stIdle);
  loop.Advance(10000);
  EXPECT_TRUE(net.mLog.empty()) << "a passive endpoint sends nothing on its own";
}

TEST_F(NewPlugInTest, DescribesItselfToTheHost) {
  const QCAttributes a = QcKelmarPlugIn::attributes();
  EXPECT_EQ(Text(a.at(QCPlugInAttributeNameKey)), "Kelmar Network");
  EXPECT_EQ(Text(a.at(QCPlugInAttributeDescriptionKey)), "Kelmar Network Endpoint.");
  EXPECT_EQ(QcKelmarPlugIn::executionMode(), 2);
  EXPECT_EQ(QcKelmarPlugIn::timeMode(), 1);
  for (auto const& key : QcKelmarPlugIn::plugInKeys())
    EXPECT_TRUE(QcKelmarPlugIn::attributesForPropertyPortWithKey(key).empty()) << key;
}

TEST_F(NewPlugInTest, PortKeysNameTheChannel) {
  EXPECT_EQ(QcKelmarPlugIn::synthInputName(7), "In7");
  EXPECT_EQ(QcKelmarPlugIn::synthInputName(512), "In512");
  EXPECT_EQ(QcKelmarPlugIn::synthOutputName(1), "Out1");
  EXPECT_EQ(QcKelmarPlugIn::synthOutputName(505), "Out505");
}

TEST_F(NewPlugInTest, SettingsViewIsTheSettingsResourceOfThisPatch) {
  auto controller = plugIn->createViewController();
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(controller->viewNibName(), "Settings");
  EXPECT_EQ(controller->plugIn(), plugIn.get());
  EXPECT_NE(plugIn->createViewController().get(), controller.get()) << "each call makes a new one";
}

TEST_F(NewPlugInTest, PortStaysOpenThroughTheExecutionLifecycle) {
  QCPlugInContext context;
  EXPECT_TRUE(plugIn->startExecution(&context));
  plugIn->enableExecution(&context);
  EXPECT_TRUE(Execute());
  plugIn->disableExecution(&context);
  plugIn->stopExecution(&context);
  EXPECT_EQ(peer().port(), std::uint32_t{kDefaultPort});
  EXPECT_EQ(status(), "Port is open.");
}

TEST_F(NewPlugInTest, DestroyingThePatchFreesItsPort) {
  plugIn.reset();
  CRecorder owner;
  net.SetNextHost(CMemNet::Host(20));
  std::unique_ptr<CUDPPort> again(CUDPPortIF::NewPort(&owner, loop.world()));
  EXPECT_EQ(again->Open(kDefaultPort, 0, 1024), 0);
}

// ---- rebuilding the ports when a channel setting changes --------------------------------

class PortsTest : public PlugInTest {
 protected:
  PortsTest() { WatchPorts(); }
};

TEST_F(PortsTest, RaisingInBaseRemovesTheLowPortsThenAddsTheNewHighOnes) {
  Set("inBase", 5.0);
  EXPECT_EQ(changes, Concat({Range("-In", 1, 4), Range("+In", 13, 16)}));
  EXPECT_EQ(KeysOf(plugIn->inputPorts()), Range("In", 5, 16));
  EXPECT_EQ(KeysOf(plugIn->outputPorts()), Range("Out", 1, 12)) << "outputs are left alone";
}

TEST_F(PortsTest, PortsThatStayInRangeKeepTheirValues) {
  SetIn(5, 0.7);
  SetIn(12, 0.25);
  Set("inBase", 5.0);
  EXPECT_EQ(Number(plugIn->valueForInputKey("In5")), 0.7);
  EXPECT_EQ(Number(plugIn->valueForInputKey("In12")), 0.25);
}

TEST_F(PortsTest, LoweringInBaseRemovesTheHighPortsThenAddsTheNewLowOnes) {
  Set("inBase", 5.0);
  changes.clear();
  Set("inBase", 1.0);
  EXPECT_EQ(changes, Concat({Range("-In", 13, 16), Range("+In", 1, 4)}));
}

TEST_F(PortsTest, FewerInChannelsRemovesTheTopPortsAndAddsNothing) {
  Set("inChannels", 8.0);
  EXPECT_EQ(changes, Range("-In", 9, 12));
  EXPECT_EQ(KeysOf(plugIn->inputPorts()), Range("In", 1, 8));
}

TEST_F(PortsTest, MoreOutChannelsAddsPortsAboveOnly) {
  Set("outChannels", 20.0);
  EXPECT_EQ(changes, Range("+Out", 13, 20));
}

TEST_F(PortsTest, OutBaseNearTheTopGivesPortsUpTo512Only) {
  Set("outBase", 505.0);
  EXPECT_EQ(changes, Concat({Range("-Out", 1, 12), Range("+Out", 505, 512)}));
  EXPECT_EQ(KeysOf(plugIn->outputPorts()), Range("Out", 505, 512));
}

TEST_F(PortsTest, MovingARangeEntirelyRemovesEveryOldPortThenAddsTheNewOnes) {
  Set("inBase", 100.0);
  EXPECT_EQ(changes, Concat({Range("-In", 1, 12), Range("+In", 100, 111)}));
}

TEST_F(PortsTest, RangeCutAt512ChangesNothingWhenItGrowsFurther) {
  Set("inBase", 505.0);
  changes.clear();
  Set("inChannels", 512.0);
  EXPECT_TRUE(changes.empty()) << Join(changes);
  EXPECT_EQ(KeysOf(plugIn->inputPorts()), Range("In", 505, 512));
}

TEST_F(PortsTest, RangeCutAt512MovedDownRemovesOnlyThePortsThatExist) {
  Set("inBase", 505.0);
  Set("inChannels", 512.0);
  changes.clear();
  Set("inBase", 1.0);
  // [505, 1017) to [1, 513): the old ports stay; channels 1 to 504 are new.
  EXPECT_EQ(changes, Range("+In", 1, 504));
  Set("inChannels", 12.0);
  changes.clear();
  Set("inBase", 505.0);
  EXPECT_EQ(changes, Concat({Range("-In", 1, 12), Range("+In", 505, 512)}));
}

TEST_F(PortsTest, TopChannelAloneGivesOnePort) {
  Set("outBase", 512.0);
  changes.clear();
  Set("outChannels", 1.0);
  EXPECT_TRUE(changes.empty()) << "Out512 was the only port and stays";
  EXPECT_EQ(KeysOf(plugIn->outputPorts()), Keys{"Out512"});
}

TEST_F(PortsTest, SettingsAndPortsAgreeRightAfterEachChange) {
  Set("outBase", 3.0);
  EXPECT_EQ(Number(plugIn->valueForKey("outBase")), 3.0);
  EXPECT_EQ(KeysOf(plugIn->outputPorts()), Range("Out", 3, 14));
  Set("outChannels", 2.0);
  EXPECT_EQ(Number(plugIn->valueForKey("outChannels")), 2.0);
  EXPECT_EQ(KeysOf(plugIn->outputPorts()), Range("Out", 3, 4));
}

TEST_F(PortsTest, SettingTheCurrentChannelValuesChangesNoPort) {
  Set("inBase", 1.0);
  Set("inChannels", 12.0);
  Set("outBase", 1.0);
  Set("outChannels", 12.0);
  Set("inChannels", 12.6);  // reads as 12
  EXPECT_TRUE(changes.empty()) << Join(changes);
}

// ---- validation ---------------------------------------------------------------------------

struct SProposal {
  char const* key;
  double proposed;
  double corrected;
};

void PrintTo(SProposal const& p, std::ostream* os) {
  *os << p.key << " " << p.proposed << " -> " << p.corrected;
}

class ValidationTest : public PlugInTest, public ::testing::WithParamInterface<SProposal> {};

TEST_P(ValidationTest, CorrectsToTheBoundsAndNeverRefuses) {
  const SProposal p = GetParam();
  QCValue v = p.proposed;
  std::string error = "untouched";
  EXPECT_TRUE(plugIn->validateValueForKeyError(v, p.key, &error));
  EXPECT_EQ(Number(v), p.corrected);
  EXPECT_EQ(error, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    ChannelSettings, ValidationTest,
    ::testing::Values(SProposal{"inBase", 0, 1}, SProposal{"inBase", -5, 1},
                      SProposal{"inBase", 600, 512}, SProposal{"inBase", 512, 512},
                      SProposal{"inBase", 1, 1}, SProposal{"inChannels", 0, 1},
                      SProposal{"inChannels", -5, 1}, SProposal{"inChannels", 600, 512},
                      SProposal{"inChannels", 7.9, 7}, SProposal{"outBase", 0, 1},
                      SProposal{"outBase", 600, 512}, SProposal{"outBase", 513, 512},
                      SProposal{"outChannels", -5, 1}, SProposal{"outChannels", 600, 512},
                      SProposal{"outChannels", 100000, 512}, SProposal{"outChannels", 12, 12}));

INSTANTIATE_TEST_SUITE_P(
    UdpPort, ValidationTest,
    ::testing::Values(SProposal{"udpPort", 80, 1024}, SProposal{"udpPort", 1023, 1024},
                      SProposal{"udpPort", 0, 1024}, SProposal{"udpPort", -1, 1024},
                      SProposal{"udpPort", 1024, 1024}, SProposal{"udpPort", 51209, 51209},
                      SProposal{"udpPort", 65535, 65535}, SProposal{"udpPort", 65536, 65535},
                      SProposal{"udpPort", 70000, 65535}));

using ValidationEffectTest = PlugInTest;

TEST_F(ValidationEffectTest, ValidatingDoesNotApplyTheValue) {
  WatchPorts();
  QCValue v = 600.0;
  plugIn->validateValueForKeyError(v, "inBase", nullptr);
  QCValue port = 80.0;
  plugIn->validateValueForKeyError(port, "udpPort", nullptr);
  EXPECT_EQ(Number(plugIn->valueForKey("inBase")), 1.0);
  EXPECT_EQ(Number(plugIn->valueForKey("udpPort")), 51209.0);
  EXPECT_TRUE(changes.empty());
}

TEST_F(ValidationEffectTest, TextProposalBecomesANumber) {
  QCValue v = std::string("600");
  EXPECT_TRUE(plugIn->validateValueForKeyError(v, "outChannels", nullptr));
  EXPECT_EQ(v, QCValue(512.0));
}

// ---- the socket and its status --------------------------------------------------------------

using SocketTest = PlugInTest;

TEST_F(SocketTest, SettingTheCurrentPortNeitherReopensNorAnnounces) {
  ConnectPartner();
  WatchStatus();
  Set("udpPort", 51209.0);
  Set("udpPort", 51209.4);  // reads as 51209
  EXPECT_EQ(statusNotes, 0);
  EXPECT_EQ(peer().state(), CKelmarNetPeer::stConnected) << "a reopen would drop the partner";
}

TEST_F(SocketTest, ChangingThePortReopensOnItAndAnnouncesTheStatusOnce) {
  ConnectPartner();
  WatchStatus();
  Set("udpPort", 40000.0);
  EXPECT_EQ(statusNotes, 1);
  EXPECT_EQ(peer().port(), 40000u);
  EXPECT_EQ(status(), "Port is open.");
  EXPECT_EQ(peer().state(), CKelmarNetPeer::stIdle) << "closing dropped the connection";
  CRecorder owner;
  net.SetNextHost(CMemNet::Host(20));
  std::unique_ptr<CUDPPort> probe(CUDPPortIF::NewPort(&owner, loop.world()));
  EXPECT_EQ(probe->Open(kDefaultPort, 0, 1024), 0) << "the old port was let go";
}

TEST_F(SocketTest, StatusIsAnnouncedAfterThePortIsReopened) {
  std::vector<std::uint32_t> portWhenTold;
  plugIn->addObserverForKey("udpStatus", [&] { portWhenTold.push_back(peer().port()); });
  Set("udpPort", 40000.0);
  EXPECT_EQ(portWhenTold, std::vector<std::uint32_t>{40000u});
}

TEST_F(SocketTest, SettingTheStatusChangesNothingButTellsObservers) {
  ConnectPartner();
  WatchPorts();
  WatchStatus();
  Set("udpStatus", std::string("anything"));
  Set("udpStatus", 5.0);
  EXPECT_EQ(statusNotes, 2);
  EXPECT_EQ(status(), "Port is open.");
  EXPECT_EQ(peer().port(), std::uint32_t{kDefaultPort});
  EXPECT_EQ(peer().state(), CKelmarNetPeer::stConnected);
  EXPECT_TRUE(changes.empty());
  EXPECT_EQ(Number(plugIn->valueForKey("udpPort")), 51209.0);
}

TEST_F(SocketTest, PortHeldByAnotherPortGivesCannotUseThePort) {
  CRecorder owner;
  net.SetNextHost(CMemNet::Host(20));  // the patch's own host
  std::unique_ptr<CUDPPort> holder(CUDPPortIF::NewPort(&owner, loop.world()));
  ASSERT_EQ(holder->Open(40000, 0, 1024), 0);
  WatchStatus();
  Set("udpPort", 40000.0);
  EXPECT_EQ(status(), "Cannot use the port.");
  EXPECT_EQ(peer().port(), CKelmarNetPeer::kNoPort);
  EXPECT_EQ(statusNotes, 1) << "the failure is announced too";
}

TEST_F(SocketTest, LaterPortChangeTriesAgain) {
  CRecorder owner;
  net.SetNextHost(CMemNet::Host(20));
  std::unique_ptr<CUDPPort> holder(CUDPPortIF::NewPort(&owner, loop.world()));
  ASSERT_EQ(holder->Open(40000, 0, 1024), 0);
  Set("udpPort", 40000.0);
  ASSERT_EQ(status(), "Cannot use the port.");
  Set("udpPort", 40001.0);
  EXPECT_EQ(status(), "Port is open.");
  EXPECT_EQ(peer().port(), 40001u);
}

TEST_F(SocketTest, FramesGoOnWithoutAPort) {
  CRecorder owner;
  net.SetNextHost(CMemNet::Host(20));
  std::unique_ptr<CUDPPort> holder(CUDPPortIF::NewPort(&owner, loop.world()));
  ASSERT_EQ(holder->Open(40000, 0, 1024), 0);
  Set("udpPort", 40000.0);
  SetIn(1, 1.0);
  EXPECT_TRUE(Execute());
  EXPECT_EQ(tx()[1], 255);
  EXPECT_EQ(Out(1), 0.0);
}

// The patch on real sockets: a port that another socket holds cannot be used.
class RealSocketTest : public ::testing::Test {
 protected:
  // A socket bound to 127.0.0.1 on a port the system picks; -1 on failure.
  static int BindLoopback(std::uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      ::close(fd);
      return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
  }

  ~RealSocketTest() override {
    plugIn.reset();
    if (held >= 0) ::close(held);
  }

  std::unique_ptr<QcKelmarPlugIn> plugIn = std::make_unique<QcKelmarPlugIn>();
  int held = -1;
};

TEST_F(RealSocketTest, PortHeldByAnotherSocketGivesCannotUseThePort) {
  std::uint16_t port = 0;
  held = BindLoopback(&port);
  ASSERT_GE(held, 0);
  plugIn->setValueForKey(double(port), "udpPort");
  EXPECT_EQ(Text(plugIn->valueForKey("udpStatus")), "Cannot use the port.");
}

TEST_F(RealSocketTest, FreePortOpens) {
  std::uint16_t port = 0;
  const int probe = BindLoopback(&port);
  ASSERT_GE(probe, 0);
  ::close(probe);
  plugIn->setValueForKey(double(port), "udpPort");
  EXPECT_EQ(Text(plugIn->valueForKey("udpStatus")), "Port is open.");
  EXPECT_EQ(plugIn->io()->peer().port(), port);
}

// ---- the outgoing turn --------------------------------------------------------------------

class OutgoingTurnTest : public PlugInTest {
 protected:
  // Stale bytes everywhere, so that every byte the frame must clear is seen cleared.
  void Soil() {
    std::uint8_t* t = plugIn->io()->txTurn().data();
    for (int k = 1; k <= 512; ++k) t[k] = 0xEE;
  }
};

TEST_F(OutgoingTurnTest, DefaultRangeFillsChannels1To12AndClearsTheRest) {
  Soil();
  for (int k = 1; k <= 12; ++k) SetIn(k, k / 12.0);
  EXPECT_TRUE(Execute());
  EXPECT_EQ(plugIn->io()->txTurn().size(), 513u);
  EXPECT_EQ(tx()[0], 0) << "start code";
  for (int k = 1; k <= 12; ++k) EXPECT_EQ(tx()[k], int(float(k / 12.0) * 255.0)) << k;
  for (int k = 13; k <= 512; ++k) ASSERT_EQ(tx()[k], 0) << k;
}

TEST_F(OutgoingTurnTest, MidRangeHasZerosBelowAndAbove) {
  Set("inBase", 5.0);
  Set("inChannels", 3.0);
  Soil();
  SetIn(5, 1.0);
  SetIn(6, 0.5);
  SetIn(7, 0.004);
  EXPECT_TRUE(Execute());
  EXPECT_EQ(tx()[0], 0);
  for (int k = 1; k <= 4; ++k) EXPECT_EQ(tx()[k], 0) << k;
  EXPECT_EQ(tx()[5], 255);
  EXPECT_EQ(tx()[6], 127);
  EXPECT_EQ(tx()[7], 1);
  for (int k = 8; k <= 512; ++k) ASSERT_EQ(tx()[k], 0) << k;
}

TEST_F(OutgoingTurnTest, RangePast512ReadsOnlyUpTo512) {
  Set("inBase", 510.0);
  Soil();
  SetIn(510, 0.2);
  SetIn(511, 0.6);
  SetIn(512, 1.0);
  EXPECT_TRUE(Execute());
  for (int k = 1; k <= 509; ++k) ASSERT_EQ(tx()[k], 0) << k;
  EXPECT_EQ(tx()[510], 51);
  EXPECT_EQ(tx()[511], 153);
  EXPECT_EQ(tx()[512], 255);
}

TEST_F(OutgoingTurnTest, InputWithoutAValueSendsZero) {
  SetIn(1, QCValue());
  SetIn(2, std::string("not a number"));
  Soil();
  EXPECT_TRUE(Execute());
  EXPECT_EQ(tx()[1], 0);
  EXPECT_EQ(tx()[2], 0);
}

TEST_F(OutgoingTurnTest, ConnectedPartnerReceivesTheFrame) {
  ConnectPartner();
  SetIn(1, 1.0);
  SetIn(12, 0.5);
  EXPECT_TRUE(Execute());
  loop.Advance(1);
  ASSERT_EQ(partnerTurns.size(), 1u);
  Bytes want(513, 0);
  want[1] = 255;
  want[12] = 127;
  EXPECT_EQ(partnerTurns[0], want);
}

struct SLevel {
  double input;
  int level;
};

void PrintTo(SLevel const& l, std::ostream* os) {
  *os << l.input << " -> " << l.level;
}

class LevelTest : public PlugInTest, public ::testing::WithParamInterface<SLevel> {};

TEST_P(LevelTest, InputValueBecomesAnEightBitLevel) {
  SetIn(1, GetParam().input);
  EXPECT_TRUE(Execute());
  EXPECT_EQ(tx()[1], GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(Inputs, LevelTest,
                         ::testing::Values(SLevel{1.5, 255}, SLevel{1.0, 255}, SLevel{-0.25, 0},
                                           SLevel{0.0, 0}, SLevel{0.5, 127}, SLevel{0.999, 254},
                                           SLevel{0.004, 1}, SLevel{0.003, 0},
                                           SLevel{std::nan(""), 0}, SLevel{HUGE_VAL, 255},
                                           SLevel{-HUGE_VAL, 0}, SLevel{1e-30, 0}));

// ---- the received levels ----------------------------------------------------------------

using ReceivedLevelsTest = PlugInTest;

TEST_F(ReceivedLevelsTest, OutputsAreZeroBeforeAnyTurnArrives) {
  EXPECT_TRUE(Execute());
  for (int k = 1; k <= 12; ++k) EXPECT_EQ(Out(k), 0.0) << k;
}

TEST_F(ReceivedLevelsTest, LevelsArePublishedAsFractionsOf255InSinglePrecision) {
  ConnectPartner();
  const Bytes levels = {0, 128, 255, 51, 0, 1, 254};
  PartnerSends(STurnOf(513, [&](int k) { return k < int(levels.size()) ? levels[k] : 0; }));
  EXPECT_TRUE(Execute());
  EXPECT_EQ(Out(1), double(float(128 / 255.0)));
  EXPECT_NEAR(Out(1), 0.50196, 1e-5);
  EXPECT_EQ(Out(2), 1.0);
  EXPECT_EQ(Out(3), double(0.2f));
  EXPECT_EQ(Out(4), 0.0);
  EXPECT_EQ(Out(5), Shown(1));
  EXPECT_EQ(Out(6), Shown(254));
}

TEST_F(ReceivedLevelsTest, Out1ShowsSlot1NotTheStartCode) {
  ConnectPartner();
  PartnerSends(STurnOf(513, [](int k) { return 10 * k; }));
  EXPECT_TRUE(Execute());
  for (int k = 1; k <= 12; ++k) EXPECT_EQ(Out(k), Shown(10 * k)) << k;
}

TEST_F(ReceivedLevelsTest, OutputsNearTheTopShowTheirOwnSlots) {
  Set("outBase", 505.0);
  ConnectPartner();
  PartnerSends(STurnOf(513, [](int k) { return k % 256; }));
  EXPECT_TRUE(Execute());
  for (int k = 505; k <= 512; ++k) EXPECT_EQ(Out(k), Shown(k % 256)) << k;
}

TEST_F(ReceivedLevelsTest, OutputsKeepTheLastLevelsAfterThePartnerLeaves) {
  ConnectPartner();
  PartnerSends(STurnOf(513, [](int k) { return 200 + k; }));
  partner.reset();
  loop.Advance(6000);
  ASSERT_NE(peer().state(), CKelmarNetPeer::stConnected);
  EXPECT_TRUE(Execute());
  EXPECT_EQ(Out(1), Shown(201));
  EXPECT_EQ(Out(12), Shown(212));
}

TEST_F(ReceivedLevelsTest, OutputsFollowEachNewTurn) {
  ConnectPartner();
  PartnerSends(STurnOf(513, [](int) { return 100; }));
  EXPECT_TRUE(Execute());
  ASSERT_EQ(Out(3), Shown(100));
  PartnerSends(STurnOf(513, [](int) { return 30; }));
  EXPECT_TRUE(Execute());
  EXPECT_EQ(Out(3), Shown(30));
}

// ---- settings restored from a saved composition --------------------------------------------

using RestoreTest = PlugInTest;

TEST_F(RestoreTest, PortAbove65535OpensThe65535NotTheWrappedPort) {
  plugIn->setSerializedValueForKey(70000.0, "udpPort");
  EXPECT_EQ(Number(plugIn->serializedValueForKey("udpPort")), 65535.0);
  EXPECT_EQ(peer().port(), 65535u);
  EXPECT_EQ(net.Find({CMemNet::Host(20), 70000 & 0xFFFF}), nullptr) << "port 4464 is not bound";
}

TEST_F(RestoreTest, PortBelow1024IsRaisedTo1024) {
  plugIn->setSerializedValueForKey(80.0, "udpPort");
  EXPECT_EQ(peer().port(), 1024u);
}

TEST_F(RestoreTest, HugeInBaseIsBoundedAndFramesStayInsideTheTurn) {
  plugIn->setSerializedValueForKey(100000.0, "inBase");
  EXPECT_EQ(Number(plugIn->serializedValueForKey("inBase")), 512.0);
  EXPECT_EQ(KeysOf(plugIn->inputPorts()), Keys{"In512"});
  SetIn(512, 1.0);
  EXPECT_TRUE(Execute());
  for (int k = 1; k <= 511; ++k) ASSERT_EQ(tx()[k], 0) << k;
  EXPECT_EQ(tx()[512], 255);
}

TEST_F(RestoreTest, NegativeInChannelsIsBoundedToOne) {
  plugIn->setSerializedValueForKey(-3.0, "inChannels");
  EXPECT_EQ(Number(plugIn->serializedValueForKey("inChannels")), 1.0);
  EXPECT_EQ(KeysOf(plugIn->inputPorts()), Keys{"In1"});
  SetIn(1, 1.0);
  EXPECT_TRUE(Execute());
  EXPECT_EQ(tx()[1], 255);
  EXPECT_EQ(tx()[2], 0);
}

TEST_F(RestoreTest, OutOfRangeOutputSettingsAreBoundedAndFramesStayInsideTheTurn) {
  plugIn->setSerializedValueForKey(100000.0, "outBase");
  plugIn->setSerializedValueForKey(-3.0, "outChannels");
  EXPECT_EQ(Number(plugIn->serializedValueForKey("outBase")), 512.0);
  EXPECT_EQ(Number(plugIn->serializedValueForKey("outChannels")), 1.0);
  EXPECT_EQ(KeysOf(plugIn->outputPorts()), Keys{"Out512"});
  ConnectPartner();
  PartnerSends(STurnOf(513, [](int k) { return k == 512 ? 77 : 1; }));
  EXPECT_TRUE(Execute());
  EXPECT_EQ(Out(512), Shown(77));
}

TEST_F(RestoreTest, LargestCountsCannotOverflowTheChannelLoops) {
  for (char const* key : {"inBase", "inChannels", "outBase", "outChannels"})
    plugIn->setSerializedValueForKey(double(INT_MAX), key);
  for (char const* key : {"inBase", "inChannels", "outBase", "outChannels"})
    EXPECT_EQ(Number(plugIn->serializedValueForKey(key)), 512.0) << key;
  EXPECT_EQ(KeysOf(plugIn->inputPorts()), Keys{"In512"});
  EXPECT_TRUE(Execute());
  for (char const* key : {"inBase", "inChannels", "outBase", "outChannels"})
    plugIn->setSerializedValueForKey(double(INT_MIN), key);
  EXPECT_EQ(KeysOf(plugIn->inputPorts()), Keys{"In1"});
  EXPECT_EQ(KeysOf(plugIn->outputPorts()), Keys{"Out1"});
  EXPECT_TRUE(Execute());
}

TEST_F(RestoreTest, SavedSettingsRebuildTheSamePatch) {
  Set("udpPort", 40000.0);
  Set("inBase", 20.0);
  Set("inChannels", 5.0);
  Set("outBase", 300.0);
  Set("outChannels", 40.0);

  net.SetNextHost(CMemNet::Host(21));
  QcKelmarPlugIn restored;
  for (auto const& key : plugIn->savedKeys())
    restored.setSerializedValueForKey(plugIn->serializedValueForKey(key), key);

  for (auto const& key : plugIn->savedKeys())
    EXPECT_EQ(Number(restored.serializedValueForKey(key)),
              Number(plugIn->serializedValueForKey(key)))
        << key;
  EXPECT_EQ(KeysOf(restored.inputPorts()), Range("In", 20, 24));
  EXPECT_EQ(KeysOf(restored.outputPorts()), Range("Out", 300, 339));
  EXPECT_EQ(restored.io()->peer().port(), 40000u);
}

}  // namespace
