// What the device cloud serves: accounts, each with its devices. Loaded from a
// JSON file or taken from the embedded demo account, and fixed from then on;
// only a device's online state changes while the cloud runs (in the relay).
//
// File format:
//   {"accounts": [{"user": "demo", "password": "demo", "devices": [
//     {"sn": "DEMO-0001", "name": "Front door", "tunnel_id": "tn-demo-0001",
//      "user": "admin", "key": "...", "online": true, "agent": "builtin"}]}]}
// "online" (default true) is the device's state at start; "agent" is "builtin"
// (default: devcloud runs the device agent) or "external" (an agent started
// with --agent brings the device online). "agent_secret" (16 to 200 printable
// bytes without blanks) is what the device's agent proves to the relay before
// the relay takes it as the device; an external agent needs one, and a
// built-in device without one gets a random secret when the cloud starts.
#pragma once
#include <string>
#include <vector>

namespace devcloud {

struct DeviceConfig {
  std::string sn;
  std::string name;
  std::string tunnel_id;
  std::string user;
  std::string key;
  std::string agent_secret;  // empty: none configured
  bool online = true;
  bool external_agent = false;
};

struct AccountConfig {
  std::string user;
  std::string password;
  std::vector<DeviceConfig> devices;
};

struct CloudConfig {
  std::vector<AccountConfig> accounts;
};

// The embedded demo: account "demo"/"demo" with DEMO-0001..0003.
extern const char* const kDemoConfigText;

// 0, or -1 with why naming the first problem.
int ParseConfig(const std::string& text, CloudConfig& config, std::string& why);
int LoadConfigFile(const std::string& path, CloudConfig& config, std::string& why);
CloudConfig DemoConfig();

const DeviceConfig* FindDevice(const CloudConfig& config, const std::string& sn);
const AccountConfig* FindOwner(const CloudConfig& config, const std::string& sn);

}  // namespace devcloud
