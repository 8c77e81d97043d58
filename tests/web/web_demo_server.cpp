// A test program: one "Kelmar Network" patch with its web page, for the browser tests.
// Prints one JSON line ({"url": ..., "udpPort": ...}) when serving and "save" for
// every save; runs until SIGINT or SIGTERM.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "CAppLoop.h"
#include "CKelmarNetIO.h"
#include "CPlugInWebModel.h"
#include "CWebServer.h"
#include "QcKelmarPlugIn.h"
#include "UEventClock.h"

int main(int argc, char** argv) {
  int udpPort = 51209;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::strcmp(argv[i], "--udp-port") == 0) udpPort = std::atoi(argv[i + 1]);

  CRunLoop& loop = CRunLoop::Current();
  StopLoopOnSignals(loop);
  QcKelmarPlugIn plugIn;
  int saves = 0;
  CPlugInWebModel model(plugIn, [&](std::string* message) {
    std::cout << "save " << ++saves << std::endl;
    *message = "saved demo.json";
    return true;
  });
  double applied = 0;
  std::string error;
  if (!model.SetSetting(0, QcKelmarPlugIn::kUdpPort, udpPort, &applied, &error)) {
    std::cerr << error << '\n';
    return 1;
  }
  QCPlugInContext context;
  plugIn.startExecution(&context);  // opens the port just set
  CWebServer web(model, {});
  if (!web.Start(&error)) {
    std::cerr << error << '\n';
    return 69;
  }
  std::cout << nlohmann::json{{"url", web.url()}, {"udpPort", applied}} << std::endl;

  CFrameTimer frames(60, [&] {
    plugIn.io()->world().DriveTimers();
    plugIn.execute(nullptr, UEventClock::Now(), {});
    web.Publish();
  });
  frames.Start();
  loop.Run();
  return 0;
}
