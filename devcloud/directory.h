// Accounts and their sign-in tokens. Each account gets one random token when the
// cloud starts and every sign-in hands out that same token, so the set of tokens
// never grows; built-in devices without an agent secret get a random one. Fixed
// after construction, so any thread may read it.
#pragma once
#include <string>
#include <vector>

#include "devcloud/config.h"

namespace devcloud {

class Directory {
 public:
  explicit Directory(CloudConfig config);

  const CloudConfig& config() const { return config_; }
  // The account's token, or empty when user and password do not match.
  std::string SignIn(const std::string& user, const std::string& password) const;
  const AccountConfig* AccountOfToken(const std::string& token) const;
  const DeviceConfig* Device(const std::string& sn) const { return FindDevice(config_, sn); }
  // The account shown on the portal: "demo" when there is one, else the first.
  const AccountConfig& PortalAccount() const;

 private:
  CloudConfig config_;
  std::vector<std::string> tokens_;  // one per account, same order
};

}  // namespace devcloud
