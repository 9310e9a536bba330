// Accounts and tokens (see directory.h).
#include "devcloud/directory.h"

#include <cstdio>
#include <random>

namespace devcloud {
namespace {

std::string RandomToken() {
  std::random_device source;
  std::string token;
  char part[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(source()));
    token += part;
  }
  return token;
}

}  // namespace

Directory::Directory(CloudConfig config) : config_(std::move(config)) {
  for (std::size_t i = 0; i < config_.accounts.size(); ++i)
    tokens_.push_back(RandomToken());
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
    if (!token.empty() && tokens_[i] == token)
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
