// The library's reading of the cloud's HTTP answers: the input's first byte
// picks the sign-in or the device list, the rest is the whole HTTP response,
// served on loopback. A sign-in that succeeds must give a usable relay port;
// every failure must say why.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/loopback_answer.h"
#include "zelmo/cloud_api.h"

namespace {

zelmo::ServerAddress cloud;

void CheckSignIn() {
  zelmo::CloudSession session;
  std::string why;
  int result = zelmo::SignIn(cloud, "demo", "demo", session, why);
  FUZZ_CHECK(result == 0 || result == zelmo::kCloudUnreachable || result == zelmo::kCloudRefused);
  if (result == 0)
    FUZZ_CHECK(session.relay_port != 0);
  else
    FUZZ_CHECK(!why.empty());
}

void CheckDevices() {
  std::vector<zelmo::CloudDevice> devices;
  std::string why;
  int result = zelmo::FetchDevices(cloud, "token", devices, why);
  FUZZ_CHECK(result == 0 || result == zelmo::kCloudUnreachable || result == zelmo::kCloudRefused);
  if (result != 0)
    FUZZ_CHECK(!why.empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cloud.host = "127.0.0.1";
  cloud.port = fuzz::StartAnswerServer();
  FUZZ_CHECK(cloud.port != 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  fuzz::SetAnswer(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  if (data[0] & 1)
    CheckDevices();
  else
    CheckSignIn();
  return 0;
}
