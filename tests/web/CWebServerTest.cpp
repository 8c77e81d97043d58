// The host's web page against a real server on 127.0.0.1 over a real patch: routes,
// validation as the settings view does it, the safety checks, bodies and the live channel.
#include "CWebServer.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "CKelmarNetIO.h"
#include "CPlugInWebModel.h"
#include "CUdpSocket.h"
#include "QcKelmarPlugIn.h"
#include "WebTestKit.h"

namespace {

using nlohmann::json;

// A patch, its web model with a save that counts, and a started server.
class WebServer : public ::testing::Test {
 protected:
  void SetUp() override {
    QCPlugInContext context;
    ASSERT_TRUE(plugIn.startExecution(&context));  // the patch opens its port
    StartServer({});
  }

  void StartServer(CWebServer::SOptions options) {
    server.reset();
    server = std::make_unique<CWebServer>(model, options);
    std::string error;
    ASSERT_TRUE(server->Start(&error)) << error;
    host = "127.0.0.1:" + std::to_string(server->port());
  }

  httplib::Headers Good() const {
    return {{"Origin", "http://" + host}, {"X-Kelmar-Token", server->token()}};
  }

  SAnswer Get(std::string const& path, httplib::Headers headers = {}) {
    const int port = server->port();
    return WhileLooping<SAnswer>([=] {
      httplib::Client c("127.0.0.1", port);
      return Take(c.Get(path.c_str(), headers));
    });
  }
  SAnswer Post(std::string const& path, std::string const& body, httplib::Headers headers,
               std::string const& type = "application/json") {
    const int port = server->port();
    return WhileLooping<SAnswer>([=] {
      httplib::Client c("127.0.0.1", port);
      return Take(c.Post(path.c_str(), headers, body, type.c_str()));
    });
  }
  SAnswer Post(std::string const& path, json const& body) {
    return Post(path, body.dump(), Good());
  }

  // Everything a change could touch, to show that a refused request changed nothing.
  std::string Snapshot() {
    std::string s;
    for (auto const& key : QcKelmarPlugIn::plugInKeys())
      s += key + "=" + std::to_string(QCDoubleValue(plugIn.valueForKey(key))) + " ";
    for (auto const& p : plugIn.inputPorts())
      s += p.key + "=" + std::to_string(QCDoubleValue(p.value)) + " ";
    return s + "saves=" + std::to_string(saves);
  }

  QcKelmarPlugIn plugIn;
  int saves = 0;
  bool saveWorks = true;
  CPlugInWebModel model{plugIn, [this](std::string* message) {
                          ++saves;
                          *message = saveWorks ? "saved test.json" : "cannot write test.json";
                          return saveWorks;
                        }};
  std::unique_ptr<CWebServer> server;
  std::string host;
};

// ---- routes ----------------------------------------------------------------------------

TEST_F(WebServer, PageCarriesTheTokenAndForbidsFramingScriptAndStyleAreTheOnlyFiles) {
  SAnswer a = Get("/");
  ASSERT_EQ(a.status, 200);
  EXPECT_NE(a.body.find("content=\"" + server->token() + "\""), std::string::npos);
  EXPECT_EQ(a.body.find("{{TOKEN}}"), std::string::npos);
  EXPECT_EQ(a.header("X-Frame-Options"), "DENY");
  EXPECT_NE(a.header("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
  EXPECT_NE(a.header("Content-Security-Policy").find("frame-ancestors 'none'"), std::string::npos);
  for (auto const& [name, value] : a.headers)
    EXPECT_EQ(name.rfind("Access-Control", 0), std::string::npos);
  EXPECT_EQ(server->token().size(), 32u);

  SAnswer js = Get("/app.js"), css = Get("/app.css"), none = Get("/secret.txt");
  EXPECT_EQ(js.status, 200);
  EXPECT_EQ(js.header("Content-Type").rfind("text/javascript", 0), 0u);
  EXPECT_NE(js.body.find("EventSource"), std::string::npos);
  EXPECT_EQ(css.status, 200);
  EXPECT_EQ(css.header("Content-Type").rfind("text/css", 0), 0u);
  EXPECT_EQ(none.status, 404);
  EXPECT_EQ(Get("/../CMakeLists.txt").status, 404);
  EXPECT_EQ(Get("/api/nothing").status, 404);
}

TEST_F(WebServer, StateShowsSettingsWithTheirBoundsStatusPeerAndLevels) {
  plugIn.setValueForInputKey(1.0, "In2");
  WhileLooping<int>([] { return 0; });
  plugIn.execute(nullptr, 0, {});  // a frame: In2 goes into the turn sent
  SAnswer a = Get("/api/state");
  ASSERT_EQ(a.status, 200);
  json s = json::parse(a.body);
  ASSERT_EQ(s["patches"].size(), 1u);
  json p = s["patches"][0];
  EXPECT_EQ(p["name"], "Kelmar Network");
  std::vector<std::string> keys;
  for (auto const& f : p["settings"]) keys.push_back(f["key"]);
  EXPECT_EQ(keys, QcKelmarPlugIn::plugInKeys());
  EXPECT_EQ(p["settings"][0]["label"], "UDP port");
  EXPECT_EQ(p["settings"][0]["min"], 1024);
  EXPECT_EQ(p["settings"][0]["max"], 65535);
  EXPECT_EQ(p["settings"][0]["value"], QCIntValue(plugIn.udpPort()));
  for (int i = 1; i < 5; ++i) {
    EXPECT_EQ(p["settings"][i]["min"], 1);
    EXPECT_EQ(p["settings"][i]["max"], 512);
  }
  EXPECT_EQ(p["status"], std::get<std::string>(plugIn.udpStatus()));
  EXPECT_EQ(p["state"], "idle");
  EXPECT_EQ(p["partner"], "");
  EXPECT_EQ(p["receiving"], false);
  EXPECT_EQ(p["inFirst"], 1);
  EXPECT_EQ(p["inLast"], 12);
  std::string in = p["in"];
  ASSERT_EQ(in.size(), 1024u);
  EXPECT_EQ(in.substr(0, 6), "00ff00");
  EXPECT_EQ(std::string(p["out"]), std::string(1024, '0'));
}

TEST_F(WebServer, SettingTakesEffectAndShowsTheNewStatus) {
  auto taken = std::make_unique<CUdpSocket>(INADDR_ANY);  // as another program would
  const int port = taken->port;
  ASSERT_NE(port, 0);
  SAnswer a = Post("/api/settings", {{"key", "udpPort"}, {"value", port}});
  ASSERT_EQ(a.status, 200) << a.body;
  json r = json::parse(a.body);
  EXPECT_EQ(r["value"], port);
  EXPECT_EQ(r["corrected"], false);
  EXPECT_EQ(r["status"], QcKelmarPlugIn::kPortUnusable);
  EXPECT_EQ(QCIntValue(plugIn.udpPort()), port);

  taken.reset();  // the same port, now free
  a = Post("/api/settings", {{"key", "udpPort"}, {"value", port + 1}});
  a = Post("/api/settings", {{"key", "udpPort"}, {"value", port}});
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(json::parse(a.body)["status"], QcKelmarPlugIn::kPortOpen);
  json state = json::parse(Get("/api/state").body);
  EXPECT_EQ(state["patches"][0]["status"], QcKelmarPlugIn::kPortOpen);

  a = Post("/api/settings", {{"key", "inChannels"}, {"value", 20}});
  ASSERT_EQ(a.status, 200);
  EXPECT_NE(plugIn.inputPortForKey("In20"), nullptr);
}

TEST_F(WebServer, InputsSetOneChannelOrARangeAllOrNothing) {
  SAnswer a = Post("/api/inputs", {{"first", 3}, {"levels", {255}}});
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_DOUBLE_EQ(QCDoubleValue(plugIn.valueForInputKey("In3")), 1.0);
  a = Post("/api/inputs", {{"patch", 0}, {"first", 10}, {"levels", {51, 102, 153}}});
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_DOUBLE_EQ(QCDoubleValue(plugIn.valueForInputKey("In10")), 51 / 255.0);
  EXPECT_DOUBLE_EQ(QCDoubleValue(plugIn.valueForInputKey("In12")), 153 / 255.0);

  // In13 has no port: nothing of the range changes.
  const std::string before = Snapshot();
  a = Post("/api/inputs", {{"first", 11}, {"levels", {1, 2, 3}}});
  EXPECT_EQ(a.status, 400);
  EXPECT_NE(a.body.find("In13"), std::string::npos);
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(WebServer, SaveCallsTheHostAndReportsItsAnswer) {
  SAnswer a = Post("/api/save", json::object());
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(json::parse(a.body)["message"], "saved test.json");
  EXPECT_EQ(saves, 1);
  saveWorks = false;
  a = Post("/api/save", json::object());
  EXPECT_EQ(a.status, 500);
  EXPECT_EQ(json::parse(a.body)["error"], "cannot write test.json");
  EXPECT_EQ(saves, 2);
}

// ---- validation: the same as the settings view -----------------------------------------

TEST_F(WebServer, SettingsAreValidatedExactlyAsTheSettingsView) {
  const double proposals[] = {-1e12, -5,   0,      1,     12,    512,   513,
                              1023,  1024, 1500.7, 51210, 65535, 65536, 1e12};
  for (auto const& key : QcKelmarPlugIn::plugInKeys()) {
    for (double proposed : proposals) {
      QCValue expected = proposed;
      std::string error;
      ASSERT_TRUE(plugIn.validateValueForKeyError(expected, key, &error));
      SAnswer a = Post("/api/settings", {{"key", key}, {"value", proposed}});
      ASSERT_EQ(a.status, 200) << key << " " << proposed << ": " << a.body;
      json r = json::parse(a.body);
      EXPECT_EQ(r["value"].get<double>(), QCDoubleValue(expected)) << key << " " << proposed;
      EXPECT_EQ(QCDoubleValue(plugIn.valueForKey(key)), QCDoubleValue(expected));
      const bool corrected = QCDoubleValue(expected) != proposed;
      EXPECT_EQ(r["corrected"], corrected);
      EXPECT_EQ(r.contains("message"), corrected);
    }
  }
  SAnswer a = Post("/api/settings", {{"key", "udpPort"}, {"value", 70000}});
  EXPECT_EQ(json::parse(a.body)["message"], "udpPort 70000 is out of bounds; using 65535");
}

TEST_F(WebServer, UnknownKeysPatchesAndNonNumbersAreRefusedWithoutChange) {
  const std::string before = Snapshot();
  struct {
    json body;
    char const* says;
  } const cases[] = {
      {{{"key", "udpStatus"}, {"value", 1}}, "no setting udpStatus"},
      {{{"key", "In1"}, {"value", 1}}, "no setting In1"},
      {{{"patch", 1}, {"key", "udpPort"}, {"value", 2000}}, "no patch 1"},
      {{{"key", "udpPort"}, {"value", "2000"}}, "\"value\" is not a number"},
      {{{"key", "udpPort"}, {"value", nullptr}}, "\"value\" is not a number"},
      {{{"key", 7}, {"value", 2000}}, "\"key\" is not a string"},
      {{{"key", "udpPort"}}, "\"value\" is not a number"},
      {{{"patch", "0"}, {"key", "udpPort"}, {"value", 2000}}, "\"patch\" is not a whole number"},
      {{{"key", "udpPort"}, {"value", 2000}, {"extra", 1}}, "unknown field \"extra\""},
  };
  for (auto const& c : cases) {
    SAnswer a = Post("/api/settings", c.body);
    EXPECT_EQ(a.status, 400) << c.body;
    EXPECT_EQ(json::parse(a.body)["error"], c.says) << c.body;
  }
  EXPECT_EQ(Snapshot(), before);
}

// ---- safety ------------------------------------------------------------------------------

TEST_F(WebServer, ForeignHostIsRefusedEvenForReading) {
  const std::string port = std::to_string(server->port());
  for (std::string forged :
       std::vector<std::string>{"evil.example:" + port, "127.0.0.1", "127.0.0.1:1", "localhost",
                                "127.0.0.2:" + port, ""}) {
    SAnswer a = Get("/api/state", {{"Host", forged}});
    EXPECT_EQ(a.status, 403) << forged;
    EXPECT_EQ(a.body.find("patches"), std::string::npos);
  }
  // A rebinding page posting with its own name as Host and Origin changes nothing.
  const std::string before = Snapshot();
  const std::string evil = "evil.example:" + port;
  SAnswer a =
      Post("/api/settings", json{{"key", "inBase"}, {"value", 5}}.dump(),
           {{"Host", evil}, {"Origin", "http://" + evil}, {"X-Kelmar-Token", server->token()}});
  EXPECT_EQ(a.status, 403);
  EXPECT_EQ(Snapshot(), before);
  for (std::string ok :
       std::vector<std::string>{"127.0.0.1:" + port, "localhost:" + port, "[::1]:" + port})
    EXPECT_EQ(Get("/api/state", {{"Host", ok}}).status, 200) << ok;
}

TEST_F(WebServer, ChangesByGetOrWithoutOurOriginAndTokenAreRefusedWithoutChange) {
  const std::string before = Snapshot();
  const std::string body = json{{"key", "inBase"}, {"value", 5}}.dump();
  const std::string input = json{{"first", 1}, {"levels", {255}}}.dump();
  const std::string token = server->token();
  std::string wrong = token;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  const httplib::Headers refused[] = {
      {{"X-Kelmar-Token", token}},                                      // no Origin
      {{"Origin", "http://evil.example"}, {"X-Kelmar-Token", token}},   // cross-site
      {{"Origin", "null"}, {"X-Kelmar-Token", token}},                  // sandboxed
      {{"Origin", "https://" + host}, {"X-Kelmar-Token", token}},       // another scheme
      {{"Origin", "http://" + host}},                                   // no token
      {{"Origin", "http://" + host}, {"X-Kelmar-Token", wrong}},        // wrong token
      {{"Origin", "http://" + host}, {"X-Kelmar-Token", token + "0"}},  // longer token
  };
  for (auto const& headers : refused) {
    EXPECT_EQ(Post("/api/settings", body, headers).status, 403);
    EXPECT_EQ(Post("/api/inputs", input, headers).status, 403);
    EXPECT_EQ(Post("/api/save", "{}", headers).status, 403);
  }
  for (char const* path :
       {"/api/settings?key=udpPort&value=2000", "/api/inputs?first=1&levels=9", "/api/save"}) {
    SAnswer a = Get(path, Good());
    EXPECT_EQ(a.status, 405) << path;
    EXPECT_EQ(a.header("Allow"), "POST");
  }
  // A form post, which a foreign page can send without asking, is not JSON.
  EXPECT_EQ(Post("/api/settings", "key=inBase&value=5", Good(), "text/plain").status, 415);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(Post("/api/settings", body, Good()).status, 200);
  EXPECT_NE(Snapshot(), before);
}

TEST_F(WebServer, MalformedAndOversizedBodiesAreRefusedWithoutChange) {
  const std::string before = Snapshot();
  struct {
    char const* path;
    std::string body;
    int status;
  } const cases[] = {
      {"/api/settings", "{\"key\": \"inBase\", \"value\": 5", 400},
      {"/api/settings", "", 400},
      {"/api/settings", "[\"inBase\", 5]", 400},
      {"/api/inputs", "{\"first\": 1, \"levels\": [300]}", 400},
      {"/api/inputs", "{\"first\": 1, \"levels\": [-1]}", 400},
      {"/api/inputs", "{\"first\": 1, \"levels\": [1.5]}", 400},
      {"/api/inputs", "{\"first\": 1, \"levels\": \"ff\"}", 400},
      {"/api/inputs", "{\"first\": 1, \"levels\": []}", 400},
      {"/api/inputs", "{\"first\": 0, \"levels\": [1]}", 400},
      {"/api/inputs", "{\"first\": 513, \"levels\": [1]}", 400},
      {"/api/inputs", "{\"levels\": [1]}", 400},
      {"/api/save", "nope", 400},
      {"/api/save", "{\"file\": \"/etc/passwd\"}", 400},
      {"/api/inputs", "{\"first\": 1, \"levels\": [" + std::string(20000, ' ') + "1]}", 413},
  };
  for (auto const& c : cases) {
    SAnswer a = Post(c.path, c.body, Good());
    EXPECT_EQ(a.status, c.status) << c.path << " " << c.body.substr(0, 60);
    EXPECT_TRUE(json::parse(a.body, nullptr, false).contains("error")) << a.body;
  }
  EXPECT_EQ(Snapshot(), before);
}

// ---- the hand-over to the loop ----------------------------------------------------------

// A host with several patches: each index reaches its own patch, and the list is asked
// for on every call, so a patch removed at run time is gone from the page at once.
TEST(PlugInWebModel, EachIndexReachesItsOwnPatchOfTheHostsCurrentList) {
  QcKelmarPlugIn first, second;
  std::vector<QcKelmarPlugIn*> patches{&first, &second};
  CPlugInWebModel model([&] { return patches; }, {});
  double applied = 0;
  std::string error;
  ASSERT_TRUE(model.SetSetting(1, QcKelmarPlugIn::kInChannels, 20, &applied, &error)) << error;
  ASSERT_TRUE(model.SetInputs(1, 20, {255}, &error)) << error;
  EXPECT_EQ(QCIntValue(second.inChannels()), 20);
  EXPECT_EQ(QCIntValue(first.inChannels()), 12);
  EXPECT_DOUBLE_EQ(QCDoubleValue(second.valueForInputKey("In20")), 1.0);
  auto shown = model.Patches();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].inLast, 20);
  EXPECT_EQ(shown[0].inLast, 12);

  patches.pop_back();
  EXPECT_EQ(model.Patches().size(), 1u);
  EXPECT_FALSE(model.SetSetting(1, QcKelmarPlugIn::kInChannels, 5, &applied, &error));
  EXPECT_EQ(error, "no patch 1");
  EXPECT_EQ(QCIntValue(second.inChannels()), 20) << "a patch no longer listed is left alone";
}

TEST_F(WebServer, ARequestTheLoopDoesNotTakeInTimeIsDroppedNotRunLater) {
  CWebServer::SOptions options;
  options.requestTimeoutMs = 200;
  StartServer(options);
  const std::string before = Snapshot();
  const int port = server->port();
  const httplib::Headers headers = Good();
  // The loop does not turn while the request waits for it.
  auto result = std::async(std::launch::async, [=] {
    httplib::Client c("127.0.0.1", port);
    return Take(
        c.Post("/api/settings", headers, R"({"key":"inBase","value":7})", "application/json"));
  });
  SAnswer a = result.get();
  EXPECT_EQ(a.status, 503);
  WhileLooping<int>([] { return 0; });  // now the loop turns: the dropped call stays dropped
  EXPECT_EQ(Snapshot(), before);
}

// ---- the live channel ---------------------------------------------------------------------

// Levels the test sets directly, one frame at a time.
class CCountingModel : public CWebModel {
 public:
  std::vector<SWebPatch> Patches() override { return {patch}; }
  bool SetSetting(std::size_t, std::string const&, double, double*, std::string* e) override {
    return *e = "no", false;
  }
  bool SetInputs(std::size_t, int, std::vector<std::uint8_t> const&, std::string* e) override {
    return *e = "no", false;
  }
  bool Save(std::string* m) override { return *m = "no", false; }
  // A new frame: slots 1 and 2 hold `n` in two bytes.
  void Step(unsigned n) {
    patch.out[0] = std::uint8_t(n >> 8);
    patch.out[1] = std::uint8_t(n);
  }
  SWebPatch patch;
};

std::string EventsRequest(int port) {
  return "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
}

// The frame numbers in a stream, in order: each frame starts with an "id: N" line.
std::vector<unsigned long> Ids(std::string const& stream) {
  std::vector<unsigned long> ids;
  for (std::size_t at = 0; (at = stream.find("id: ", at)) != std::string::npos; at += 4)
    if (at == 0 || stream[at - 1] == '\n') ids.push_back(std::stoul(stream.substr(at + 4, 20)));
  return ids;
}

class WebLive : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
  }
  CCountingModel model;
  CWebServer server{model, {}};
};

TEST_F(WebLive, DeliversEachChangeAsTheLatestFrame) {
  CRawClient c(server.port());
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.Send(EventsRequest(server.port())));
  std::string got;
  ASSERT_TRUE(c.ReadUntil(got, [](std::string const& s) { return Ids(s).size() >= 1; })) << got;
  EXPECT_NE(got.find("Content-Type: text/event-stream"), std::string::npos);
  EXPECT_NE(got.find("event: state"), std::string::npos);
  EXPECT_EQ(Ids(got).back(), 1u);  // the frame published at start

  server.Publish();  // nothing changed: no frame
  model.Step(0x1234);
  server.Publish();
  ASSERT_TRUE(c.ReadUntil(got, [](std::string const& s) { return Ids(s).back() == 2; })) << got;
  const auto data = got.rfind("data: ");
  ASSERT_NE(data, std::string::npos);
  json frame = json::parse(got.substr(data + 6, got.find('\n', data) - data - 6));
  EXPECT_EQ(frame["seq"], 2);
  EXPECT_EQ(std::string(frame["patches"][0]["out"]).substr(0, 4), "1234");
  EXPECT_EQ(server.stats().liveClients, 1);
}

TEST_F(WebLive, ASlowReaderSkipsFramesNothingQueuesForItAndOthersGoOn) {
  CRawClient slow(server.port(), 2048), other(server.port());
  ASSERT_TRUE(slow.Send(EventsRequest(server.port())));
  ASSERT_TRUE(other.Send(EventsRequest(server.port())));
  std::string got, seen;
  ASSERT_TRUE(slow.ReadUntil(got, [](std::string const& s) { return !Ids(s).empty(); }));
  ASSERT_TRUE(other.ReadUntil(seen, [](std::string const& s) { return !Ids(s).empty(); }));
  // The reader stops reading while far more frames are published than the socket
  // buffers on both sides hold (each frame is over 2 KB; the server's send buffer is
  // 64 KiB, which the kernel doubles, the reader's receive buffer a few KiB).
  constexpr unsigned kFrames = 3000;
  for (unsigned n = 1; n <= kFrames; ++n) {
    model.Step(n);
    server.Publish();
  }
  const std::uint64_t last = server.stats().published;
  EXPECT_EQ(last, kFrames + 1);
  // The reader that reads has the latest frame while the slow one still does not read.
  ASSERT_TRUE(other.ReadUntil(seen, [&](std::string const& s) {
    auto ids = Ids(s);
    return !ids.empty() && ids.back() == last;
  }));
  ASSERT_TRUE(slow.ReadUntil(got,
                             [&](std::string const& s) {
                               auto ids = Ids(s);
                               return !ids.empty() && ids.back() == last;
                             }))
      << "the latest frame never arrived; got " << Ids(got).size() << " frames, the last "
      << (Ids(got).empty() ? 0 : Ids(got).back()) << ", " << got.size() << " bytes";
  const auto ids = Ids(got);
  RecordProperty("frames_received", int(ids.size()));
  EXPECT_LT(ids.size(), 200u) << "frames were queued instead of skipped";
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  const auto stats = server.stats();
  EXPECT_EQ(stats.sent, ids.size() + Ids(seen).size());
  EXPECT_EQ(stats.sent + stats.skipped, 2 * last);
}

TEST_F(WebLive, StopsWithClientsConnectedAndRefusesTooMany) {
  std::vector<std::unique_ptr<CRawClient>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<CRawClient>(server.port()));
    ASSERT_TRUE(clients.back()->Send(EventsRequest(server.port())));
    std::string got;
    ASSERT_TRUE(
        clients.back()->ReadUntil(got, [](std::string const& s) { return !Ids(s).empty(); }));
  }
  CRawClient extra(server.port());
  ASSERT_TRUE(extra.Send(EventsRequest(server.port())));
  std::string got;
  ASSERT_TRUE(extra.ReadUntil(
      got, [](std::string const& s) { return s.find("\r\n\r\n") != std::string::npos; }));
  EXPECT_EQ(got.rfind("HTTP/1.1 503", 0), 0u) << got;
  EXPECT_EQ(server.stats().liveClients, 8);
  // The fixture's server now stops with eight live clients: the test ends only if the
  // clients' workers notice.
}

// ---- addresses -------------------------------------------------------------------------------

TEST(WebAddress, PortAloneStaysOnLoopbackAndANamedAddressSaysSo) {
  std::string error;
  auto a = ParseWebAddress("8080", &error);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->address, "127.0.0.1");
  EXPECT_EQ(a->port, 8080);
  EXPECT_FALSE(a->named);
  a = ParseWebAddress("0.0.0.0:80", &error);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->address, "0.0.0.0");
  EXPECT_TRUE(a->named);
  EXPECT_FALSE(IsLoopbackAddress(a->address));
  a = ParseWebAddress("[::1]:9000", &error);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->address, "::1");
  EXPECT_TRUE(IsLoopbackAddress(a->address));
  EXPECT_TRUE(IsLoopbackAddress("127.0.0.1"));
  for (char const* bad : {"", "x", "65536", "-1", "evil.example:80", "1.2.3:80", "127.0.0.1:"})
    EXPECT_FALSE(ParseWebAddress(bad, &error)) << bad;
}

TEST(WebAddress, ATakenPortFailsToStart) {
  QcKelmarPlugIn plugIn;
  CPlugInWebModel model(plugIn, nullptr);
  CWebServer first(model, {});
  std::string error;
  ASSERT_TRUE(first.Start(&error));
  CWebServer::SOptions options;
  options.where.port = first.port();
  CWebServer second(model, options);
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find(std::to_string(first.port())), std::string::npos);
}

}  // namespace
