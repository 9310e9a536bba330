// Cloud configuration: the embedded demo account and the checks that keep a
// loaded config within what the library's device entries and the relay carry.
#include "devcloud/config.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using devcloud::CloudConfig;

std::string Device(const std::string& fields) {
  return R"({"sn": "A-1", "name": "N", "tunnel_id": "t1", "user": "u", "key": "k")" + fields + "}";
}

std::string Account(const std::string& devices) {
  return R"({"accounts": [{"user": "a", "password": "p", "devices": [)" + devices + "]}]}";
}

int Parse(const std::string& text, std::string& why) {
  CloudConfig config;
  return devcloud::ParseConfig(text, config, why);
}

TEST(DemoConfig, HoldsTheDemoAccountWithItsThreeDevices) {
  CloudConfig config = devcloud::DemoConfig();
  ASSERT_EQ(config.accounts.size(), 1u);
  const auto& account = config.accounts[0];
  EXPECT_EQ(account.user, "demo");
  EXPECT_EQ(account.password, "demo");
  ASSERT_EQ(account.devices.size(), 3u);
  const char* serials[] = {"DEMO-0001", "DEMO-0002", "DEMO-0003"};
  const char* names[] = {"Front door", "Warehouse", "Garage"};
  const bool online[] = {true, true, false};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(account.devices[i].sn, serials[i]);
    EXPECT_EQ(account.devices[i].name, names[i]);
    EXPECT_EQ(account.devices[i].online, online[i]);
    EXPECT_FALSE(account.devices[i].external_agent);
  }
  EXPECT_EQ(account.devices[0].user, "admin");
}

// The key goes into a script string and a URL unencoded by the gateway.
TEST(DemoConfig, FrontDoorKeyIsPlainLettersAndDigits) {
  CloudConfig config = devcloud::DemoConfig();
  const std::string& key = config.accounts[0].devices[0].key;
  ASSERT_FALSE(key.empty());
  for (char c : key) {
    EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) << c;
  }
}

TEST(ParseConfig, ReadsFlagsWithTheirDefaults) {
  CloudConfig config;
  std::string why;
  ASSERT_EQ(devcloud::ParseConfig(Account(Device("") + "," +
                                          R"({"sn": "B-2", "name": "M", "tunnel_id": "t2",
                                             "user": "u", "key": "k", "online": false,
                                             "agent": "external",
                                             "agent_secret": "0123456789abcdef"})"),
                                  config, why),
            0)
      << why;
  ASSERT_EQ(config.accounts[0].devices.size(), 2u);
  EXPECT_TRUE(config.accounts[0].devices[0].online);
  EXPECT_FALSE(config.accounts[0].devices[0].external_agent);
  EXPECT_FALSE(config.accounts[0].devices[1].online);
  EXPECT_TRUE(config.accounts[0].devices[1].external_agent);
  EXPECT_EQ(config.accounts[0].devices[0].agent_secret, "");
  EXPECT_EQ(config.accounts[0].devices[1].agent_secret, "0123456789abcdef");
  EXPECT_EQ(devcloud::FindDevice(config, "B-2"), &config.accounts[0].devices[1]);
  EXPECT_EQ(devcloud::FindOwner(config, "B-2"), &config.accounts[0]);
  EXPECT_EQ(devcloud::FindDevice(config, "C-3"), nullptr);
}

TEST(ParseConfig, RefusesWhatTheChainCannotCarry) {
  struct Case {
    std::string text;
    std::string reason;
  };
  const Case cases[] = {
      {"not json", "not a JSON object"},
      {R"({"accounts": []})", "accounts"},
      {Account(Device("") + "," + Device("")), "A-1 given twice"},
      {Account(R"({"sn": "A 1", "name": "N", "tunnel_id": "t1", "user": "u", "key": "k"})"),
       "without blanks"},
      {Account(R"({"sn": "A-1", "name": "N", "tunnel_id": "t1", "user": "u", "key": ")" +
               std::string(64, 'k') + "\"}"),
       "key"},
      {Account(R"({"sn": "A-1", "name": "N", "user": "u", "key": "k"})"), "tunnel_id"},
      {Account(Device(R"(, "online": "yes")")), "online"},
      {Account(Device(R"(, "agent": "remote")")), "agent"},
      {Account(Device(R"(, "agent": "external")")), "A-1 has an external agent and needs"},
      {Account(Device(R"(, "agent_secret": "too-short")")), "16 to 200 printable bytes"},
      {Account(Device(R"(, "agent_secret": "sixteen bytes, blanks")")), "without blanks"},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(Parse(c.text, why), -1) << c.text;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

TEST(ParseConfig, RefusesMoreThanSixtyFourDevicesAndTwinAccounts) {
  std::string devices;
  for (int i = 0; i < 65; ++i) {
    devices += (i ? "," : "") + std::string(R"({"sn": "S)") + std::to_string(i) +
               R"(", "name": "N", "tunnel_id": "t", "user": "u", "key": "k"})";
  }
  std::string why;
  EXPECT_EQ(Parse(Account(devices), why), -1);
  std::string twins = R"({"accounts": [{"user": "a", "password": "p", "devices": []},
                                       {"user": "a", "password": "q", "devices": []}]})";
  EXPECT_EQ(Parse(twins, why), -1);
  EXPECT_NE(why.find("account a given twice"), std::string::npos);
}

TEST(LoadConfigFile, ReadsAFileAndReportsAMissingOne) {
  std::string path = testing::TempDir() + "devcloud_config_test.json";
  std::ofstream(path) << Account(Device(""));
  CloudConfig config;
  std::string why;
  ASSERT_EQ(devcloud::LoadConfigFile(path, config, why), 0) << why;
  EXPECT_EQ(config.accounts[0].devices[0].sn, "A-1");
  EXPECT_EQ(devcloud::LoadConfigFile(path + ".missing", config, why), -1);
  EXPECT_EQ(why, "cannot be read");
}

}  // namespace
