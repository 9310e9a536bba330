// A STUN and TURN server with short-lived credentials, as the cloud hands
// them out at sign-in (wire.h); address is "ip:port", empty when the cloud
// has none.
#pragma once
#include <string>

namespace zelmo {

struct TurnServer {
  std::string address;
  std::string username;
  std::string password;
};

}  // namespace zelmo
