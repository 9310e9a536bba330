// Accounts and tokens (see directory.h).
#include "devcloud/directory.h"

#include "devcloud/secrets.h"

namespace devcloud {

// A built-in device without a configured secret gets one that only this run
// knows: its agent runs here and reads it from here.
Directory::Directory(CloudConfig config) : config_(std::move(config)) {
  for (AccountConfig& account : config_.accounts) {
    tokens_.push_back(RandomKey());
    for (DeviceConfig& device : account.devices) {
      if (device.agent_secret.empty() && !device.external_agent)
        device.agent_secret = RandomKey();
    }
  }
}

std::string Directory::SignIn(const std::string& user, const std::string& password) const {
  for (std::size_t i = 0; i < config_.accounts.size(); ++i) {
    const AccountConfig& account = config_.accounts[i];
    if (account.user == user && account.password == password)
      return tokens_[i];
  }
  return std::string();
}

const AccountConfig* Directory::AccountOfToken(const std::string& token) const {
  for (std::size_t i = 0; i < tokens_.size(); ++i) {
    if (!token.empty() && SameSecret(tokens_[i], token))
      return &config_.accounts[i];
  }
  return nullptr;
}

const AccountConfig& Directory::PortalAccount() const {
  for (const AccountConfig& account : config_.accounts) {
    if (account.user == "demo")
      return account;
  }
  return config_.accounts.front();
}

}  // namespace devcloud
