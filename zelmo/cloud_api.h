// The cloud's HTTP API as the library uses it: sign-in, which gives the token
// and the relay port, and the account's device list. Calls are synchronous,
// each bounded in time and size (http_call.h); a canceller ends them early.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "zelmo/http_call.h"
#include "zelmo/server_address.h"
#include "zelmo/turn_server.h"

namespace zelmo {

struct CloudDevice {
  std::string sn;
  std::string name;
  std::string tunnel_id;
  std::string user;
  std::string key;
};

struct CloudSession {
  std::string token;
  uint16_t relay_port = 0;
  TurnServer turn;  // none when the cloud names no usable one
};

constexpr int kCloudUnreachable = -1;  // no answer, or an answer that makes no sense
constexpr int kCloudRefused = -2;      // the cloud turned the account down

// 0, kCloudUnreachable or kCloudRefused; why says what went wrong.
int SignIn(const ServerAddress& server, const std::string& user, const std::string& password,
           CloudSession& session, std::string& why, CallCanceller* canceller = nullptr);

// 0 or kCloudUnreachable / kCloudRefused; the devices in the cloud's order.
int FetchDevices(const ServerAddress& server, const std::string& token,
                 std::vector<CloudDevice>& devices, std::string& why,
                 CallCanceller* canceller = nullptr);

}  // namespace zelmo
