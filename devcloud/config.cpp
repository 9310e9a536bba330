// Cloud configuration (see config.h). Values are checked against what the
// tunnel library's device entries can hold and what the relay protocol allows,
// so a config that loads is one the whole chain can carry.
#include "devcloud/config.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "zelmo/wire.h"

namespace devcloud {
namespace {

using nlohmann::json;

int ReadText(const json& object, const char* name, std::size_t limit, std::string& out,
             std::string& why) {
  auto it = object.find(name);
  if (it == object.end() || !it->is_string() || it->get<std::string>().empty()) {
    why = std::string("missing text \"") + name + "\"";
    return -1;
  }
  out = it->get<std::string>();
  if (out.size() > limit) {
    why = std::string("\"") + name + "\" longer than " + std::to_string(limit) + " bytes";
    return -1;
  }
  return 0;
}

int ReadFlags(const json& item, DeviceConfig& device, std::string& why) {
  auto online = item.find("online");
  if (online != item.end() && !online->is_boolean()) {
    why = "\"online\" of " + device.sn + " is not true or false";
    return -1;
  }
  device.online = online == item.end() || online->get<bool>();
  auto agent_item = item.find("agent");
  std::string agent = "builtin";
  if (agent_item != item.end() && agent_item->is_string())
    agent = agent_item->get<std::string>();
  if (agent_item != item.end() && !agent_item->is_string())
    agent.clear();
  if (agent != "builtin" && agent != "external") {
    why = "\"agent\" of " + device.sn + " is neither \"builtin\" nor \"external\"";
    return -1;
  }
  device.external_agent = agent == "external";
  return 0;
}

// The secret is proved, never sent, so it only has to be hard to guess.
int ReadSecret(const json& item, DeviceConfig& device, std::string& why) {
  if (item.find("agent_secret") == item.end()) {
    if (!device.external_agent)
      return 0;
    why = "device " + device.sn + " has an external agent and needs an \"agent_secret\"";
    return -1;
  }
  if (ReadText(item, "agent_secret", 200, device.agent_secret, why) != 0)
    return -1;
  if (device.agent_secret.size() < 16 || !zelmo::IsWord(device.agent_secret)) {
    why = "\"agent_secret\" of " + device.sn + " needs 16 to 200 printable bytes without blanks";
    return -1;
  }
  return 0;
}

// Limits: one less than the device entry fields of the client object; names
// fit the gateway's 64-byte session field.
int ReadDevice(const json& item, DeviceConfig& device, std::string& why) {
  if (!item.is_object()) {
    why = "a device is not an object";
    return -1;
  }
  if (ReadText(item, "sn", 199, device.sn, why) || ReadText(item, "name", 63, device.name, why) ||
      ReadText(item, "tunnel_id", 127, device.tunnel_id, why) ||
      ReadText(item, "user", 95, device.user, why) || ReadText(item, "key", 63, device.key, why)) {
    return -1;
  }
  if (!zelmo::IsWord(device.sn) || !zelmo::IsWord(device.tunnel_id)) {
    why = "serial and tunnel id must be printable text without blanks";
    return -1;
  }
  if (ReadFlags(item, device, why) != 0)
    return -1;
  return ReadSecret(item, device, why);
}

int ReadAccount(const json& item, AccountConfig& account, std::string& why) {
  if (!item.is_object()) {
    why = "an account is not an object";
    return -1;
  }
  if (ReadText(item, "user", 99, account.user, why) ||
      ReadText(item, "password", 99, account.password, why)) {
    return -1;
  }
  auto devices = item.find("devices");
  if (devices == item.end() || !devices->is_array() || devices->size() > 64) {
    why = "account " + account.user + " needs a list of at most 64 devices";
    return -1;
  }
  for (const json& entry : *devices) {
    DeviceConfig device;
    if (ReadDevice(entry, device, why) != 0)
      return -1;
    account.devices.push_back(device);
  }
  return 0;
}

int CheckUnique(const CloudConfig& config, std::string& why) {
  std::set<std::string> users;
  std::set<std::string> serials;
  for (const AccountConfig& account : config.accounts) {
    if (!users.insert(account.user).second) {
      why = "account " + account.user + " given twice";
      return -1;
    }
    for (const DeviceConfig& device : account.devices) {
      if (!serials.insert(device.sn).second) {
        why = "device " + device.sn + " given twice";
        return -1;
      }
    }
  }
  return 0;
}

}  // namespace

const char* const kDemoConfigText = R"({
  "accounts": [
    {"user": "demo", "password": "demo", "devices": [
      {"sn": "DEMO-0001", "name": "Front door", "tunnel_id": "tn-demo-0001",
       "user": "admin", "key": "Fd7q2Kx9", "online": true},
      {"sn": "DEMO-0002", "name": "Warehouse", "tunnel_id": "tn-demo-0002",
       "user": "admin", "key": "Wh4m8Ps3", "online": true},
      {"sn": "DEMO-0003", "name": "Garage", "tunnel_id": "tn-demo-0003",
       "user": "admin", "key": "Gr2v6Tn5", "online": false}
    ]}
  ]
})";

int ParseConfig(const std::string& text, CloudConfig& config, std::string& why) {
  json root = json::parse(text, nullptr, false);
  if (root.is_discarded() || !root.is_object()) {
    why = "not a JSON object";
    return -1;
  }
  auto accounts = root.find("accounts");
  if (accounts == root.end() || !accounts->is_array() || accounts->empty()) {
    why = "no \"accounts\" list";
    return -1;
  }
  config.accounts.clear();
  for (const json& entry : *accounts) {
    AccountConfig account;
    if (ReadAccount(entry, account, why) != 0)
      return -1;
    config.accounts.push_back(account);
  }
  return CheckUnique(config, why);
}

int LoadConfigFile(const std::string& path, CloudConfig& config, std::string& why) {
  std::ifstream file(path);
  if (!file) {
    why = "cannot be read";
    return -1;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseConfig(text.str(), config, why);
}

CloudConfig DemoConfig() {
  CloudConfig config;
  std::string why;
  ParseConfig(kDemoConfigText, config, why);
  return config;
}

const DeviceConfig* FindDevice(const CloudConfig& config, const std::string& sn) {
  for (const AccountConfig& account : config.accounts) {
    for (const DeviceConfig& device : account.devices) {
      if (device.sn == sn)
        return &device;
    }
  }
  return nullptr;
}

const AccountConfig* FindOwner(const CloudConfig& config, const std::string& sn) {
  for (const AccountConfig& account : config.accounts) {
    for (const DeviceConfig& device : account.devices) {
      if (device.sn == sn)
        return &account;
    }
  }
  return nullptr;
}

}  // namespace devcloud
