// devcloud: the local device cloud that the tests and the demo run the gateway
// against. See `devcloud --help`.
#include <cstdio>

#include "devcloud/config.h"
#include "devcloud/options.h"
#include "devcloud/run_modes.h"

int main(int argc, char** argv) {
  devcloud::Options options;
  std::string why;
  if (devcloud::ParseOptions(argc, argv, options, why) != 0) {
    std::fprintf(stderr, "devcloud: %s\n\n%s", why.c_str(), devcloud::kUsage);
    return 2;
  }
  switch (options.mode) {
    case devcloud::Options::Mode::kHelp:
      std::printf("%s", devcloud::kUsage);
      return 0;
    case devcloud::Options::Mode::kPrintConfig:
      std::printf("%s\n", devcloud::kDemoConfigText);
      return 0;
    case devcloud::Options::Mode::kAgent:
      return devcloud::RunAgent(options);
    case devcloud::Options::Mode::kCloud:
      break;
  }
  return devcloud::RunCloud(options);
}
