// Clients against an in-process cloud: sign-in outcomes, the device list at
// the offsets the host program reads, and list refreshes under a reader.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "test_cloud.h"
#include "zelmo/device_list.h"
#include "zelmo/wire.h"
#include "zelmo/zelmo_api.h"

namespace {

using zelmo_test::TestCloud;

std::string TextAt(const void* client, int offset) {
  return std::string(static_cast<const char*>(client) + offset);
}

int32_t CountAt(const void* client) {
  int32_t n;
  std::memcpy(&n, static_cast<const char*>(client) + 128, sizeof n);
  return n;
}

bool Logged(int level, const std::string& part) {
  for (const auto& line : zelmo_test::LoggedLines()) {
    if (line.first == level && line.second.find(part) != std::string::npos)
      return true;
  }
  return false;
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zelmo_test::CaptureLog();
    zelmo_test::ClearLog();
    ASSERT_TRUE(cloud_.started());
  }
  TestCloud cloud_;
};

TEST_F(ClientTest, SignInAcceptsBaseUrlAndBareAddress) {
  for (const std::string& server : {cloud_.url(), cloud_.bare(), cloud_.url() + "/"}) {
    void* client = Zelmo_CreateClientV3("alice", "secret", server.c_str());
    ASSERT_NE(client, nullptr) << server;
    EXPECT_EQ(ZelmoTunnelContext(client), nullptr);
    EXPECT_EQ(CountAt(client), 0);
    EXPECT_EQ(Zelmo_DeleteClient(client), 0);
  }
}

TEST_F(ClientTest, RefusedAccountGivesNullAndSaysSo) {
  EXPECT_EQ(Zelmo_CreateClientV3("alice", "wrong", cloud_.url().c_str()), nullptr);
  EXPECT_EQ(Zelmo_CreateClientV3("nobody", "secret", cloud_.url().c_str()), nullptr);
  EXPECT_TRUE(Logged(3, "account refused"));
  EXPECT_FALSE(Logged(3, "cloud unreachable"));
}

TEST_F(ClientTest, UnreachableCloudGivesNullAndSaysSo) {
  std::string closed = "http://127.0.0.1:" + std::to_string(zelmo_test::FreePort());
  EXPECT_EQ(Zelmo_CreateClientV3("alice", "secret", closed.c_str()), nullptr);
  EXPECT_TRUE(Logged(3, "cloud unreachable"));
}

// A sign-in server on loopback that answers every sign-in with the status and
// body of the moment.
class FakeSignIn {
 public:
  FakeSignIn() {
    server_.Post(zelmo::kPathSignIn, [this](const httplib::Request&, httplib::Response& res) {
      res.status = status_;
      res.set_content(body_, "application/json");
    });
    int port = server_.bind_to_any_port("127.0.0.1");
    url_ = "http://127.0.0.1:" + std::to_string(port);
    serving_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~FakeSignIn() {
    server_.stop();
    serving_.join();
  }
  // Signs in against the answer given; true when a client came back.
  bool SignInWith(int status, const std::string& body) {
    status_ = status;
    body_ = body;
    zelmo_test::ClearLog();
    void* client = Zelmo_CreateClientV3("alice", "secret", url_.c_str());
    if (client != nullptr)
      Zelmo_DeleteClient(client);
    return client != nullptr;
  }

 private:
  httplib::Server server_;
  std::string url_;
  std::thread serving_;
  int status_ = 200;
  std::string body_;
};

// A refusal whose reason is not text, empty, very long or full of control
// bytes is still a refusal, logged as one whole line that gives a reason.
TEST_F(ClientTest, RefusalWithAnOddReasonGivesNull) {
  FakeSignIn cloud;
  for (const std::string& body :
       {std::string("{\"error\":3}"), std::string("{\"error\":null}"), std::string("[\"error\"]"),
        std::string("{\"error\":\"\"}"), std::string("{\"error\":\"a\\nb\\u0000c\"}"),
        "{\"error\":\"" + std::string(5000, 'x') + "\"}"}) {
    EXPECT_FALSE(cloud.SignInWith(403, body)) << body;
    EXPECT_TRUE(Logged(3, "account refused")) << body;
    for (const auto& line : zelmo_test::LoggedLines()) {
      std::string text = line.second.substr(0, line.second.find_last_not_of('\n') + 1);
      EXPECT_LT(text.size(), 400u);
      EXPECT_EQ(text.find_first_of(std::string("\n\0", 2)), std::string::npos) << body;
      EXPECT_NE(text.substr(text.size() - 2), ": ") << body;
    }
  }
}

// A sign-in answer the relay could not be used with counts as no cloud: the
// token must be one word (it goes into the relay's lines) and the port real.
TEST_F(ClientTest, SignInAnswerOfTheWrongShapeGivesNull) {
  FakeSignIn cloud;
  for (const std::string& body : {std::string("{\"token\":\"two words\",\"relay_port\":7000}"),
                                  std::string("{\"token\":\"a\\nLINK b\",\"relay_port\":7000}"),
                                  std::string("{\"token\":\"\",\"relay_port\":7000}"),
                                  std::string("{\"token\":\"t\",\"relay_port\":0}"),
                                  std::string("{\"token\":\"t\",\"relay_port\":65536}"),
                                  std::string("{\"token\":\"t\",\"relay_port\":-1}"),
                                  std::string("{\"token\":\"t\",\"relay_port\":\"7000\"}"),
                                  std::string("{\"token\":\"t\"}"), std::string("not json")}) {
    EXPECT_FALSE(cloud.SignInWith(200, body)) << body;
    EXPECT_TRUE(Logged(3, "cloud unreachable")) << body;
  }
}

TEST_F(ClientTest, ServerTextThatNamesNoServerGivesNull) {
  EXPECT_EQ(Zelmo_CreateClientV3("alice", "secret", ""), nullptr);
  EXPECT_EQ(Zelmo_CreateClientV3("alice", "secret", "https://127.0.0.1:1"), nullptr);
  EXPECT_EQ(Zelmo_CreateClientV3("alice", "secret", "127.0.0.1:99999"), nullptr);
  EXPECT_EQ(Zelmo_CreateClientV3("alice", "secret", nullptr), nullptr);
}

TEST_F(ClientTest, DeviceListFieldsSitAtTheirOffsets) {
  void* client = Zelmo_CreateClientV3("alice", "secret", cloud_.url().c_str());
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(Zelmo_ListMyDeviceV3(client, "Lab"), 0);
  ASSERT_EQ(CountAt(client), 3);
  const char* serials[] = {"SN-ON", "SN-OFF", "SN-EXT"};
  const char* tunnels[] = {"tn-on", "tn-off", "tn-ext"};
  const char* keys[] = {"K1", "K2", "K3"};
  const char* users[] = {"admin", "admin", "op"};
  for (int i = 0; i < 3; ++i) {
    int entry = 132 + 488 * i;
    EXPECT_EQ(TextAt(client, entry), serials[i]);
    EXPECT_EQ(TextAt(client, entry + 200), tunnels[i]);
    EXPECT_EQ(TextAt(client, entry + 328), keys[i]);
    EXPECT_EQ(TextAt(client, entry + 392), users[i]);
  }
  EXPECT_EQ(TextAt(client, 132 + 488 * 3), "");
  EXPECT_EQ(ZelmoTunnelContext(client), nullptr);
  Zelmo_DeleteClient(client);
}

TEST_F(ClientTest, ListHoldsOnlyTheAccountsOwnDevices) {
  void* client = Zelmo_CreateClientV3("bob", "pw", cloud_.bare().c_str());
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(Zelmo_ListMyDeviceV3(client, ""), 0);
  ASSERT_EQ(CountAt(client), 1);
  EXPECT_EQ(TextAt(client, 132), "SN-BOB");
  Zelmo_DeleteClient(client);
}

// A reader that scans the list while it is refreshed must always see the same
// entries: unchanged entries are never cleared and rewritten.
TEST_F(ClientTest, RefreshLeavesUnchangedEntriesAloneForConcurrentReaders) {
  void* client = Zelmo_CreateClientV3("alice", "secret", cloud_.url().c_str());
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(Zelmo_ListMyDeviceV3(client, ""), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!stop.load()) {
      if (ZelmoDeviceCount(client) != 3 ||
          std::strcmp(ZelmoEntryTunnelId(ZelmoDeviceEntry(client, 2)), "tn-ext") != 0) {
        torn.fetch_add(1);
      }
    }
  });
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Zelmo_ListMyDeviceV3(client, ""), 0);
  stop.store(true);
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  Zelmo_DeleteClient(client);
}

TEST_F(ClientTest, ListAndConnectRefuseStrayHandles) {
  EXPECT_EQ(Zelmo_ListMyDeviceV3(nullptr, ""), -1);
  EXPECT_EQ(Zelmo_ClientTryConnectDeviceViaTennelV3(nullptr, "SN-ON"), -1);
  EXPECT_EQ(Zelmo_DeleteClient(nullptr), -1);
}

// The writer on its own: texts are cut to their fields and keep a NUL, entries
// past a shrunken list are cleared, and the count follows.
TEST(DeviceListWriter, CutsLongTextsAndClearsDroppedEntries) {
  std::vector<unsigned char> object(kZelmoClientObjectSize, 0);
  std::vector<zelmo::CloudDevice> devices(3);
  for (int i = 0; i < 3; ++i)
    devices[i] = {"S" + std::to_string(i), "n", "T", "u", "k"};
  devices[1].key = std::string(100, 'k');
  zelmo::WriteDeviceList(object.data(), devices);
  ASSERT_EQ(ZelmoDeviceCount(object.data()), 3);
  EXPECT_EQ(std::string(ZelmoEntryKey(ZelmoDeviceEntry(object.data(), 1))), std::string(63, 'k'));
  EXPECT_EQ(std::string(ZelmoEntryUser(ZelmoDeviceEntry(object.data(), 1))), "u");
  devices.pop_back();
  zelmo::WriteDeviceList(object.data(), devices);
  EXPECT_EQ(ZelmoDeviceCount(object.data()), 2);
  EXPECT_EQ(std::string(ZelmoEntrySerial(ZelmoDeviceEntry(object.data(), 2))), "");
  EXPECT_EQ(zelmo::FindDeviceEntry(object.data(), "S1"), 1);
  EXPECT_EQ(zelmo::FindDeviceEntry(object.data(), "S2"), -1);
}

TEST(DeviceListWriter, KeepsAtMostSixtyFourDevices) {
  std::vector<unsigned char> object(kZelmoClientObjectSize, 0);
  std::vector<zelmo::CloudDevice> devices(70, zelmo::CloudDevice{"S", "n", "T", "u", "k"});
  zelmo::WriteDeviceList(object.data(), devices);
  EXPECT_EQ(ZelmoDeviceCount(object.data()), 64);
  void* context = reinterpret_cast<void*>(0x1);
  std::memcpy(&context, object.data() + kZelmoTunnelContextOffset, sizeof context);
  EXPECT_EQ(context, nullptr);
}

// An entry that a refresh changes is copied either all old or all new: a
// reader never pairs the user of one refresh with the key of another.
TEST(DeviceListWriter, ChangedEntriesAreCopiedWhole) {
  std::vector<unsigned char> object(kZelmoClientObjectSize, 0);
  std::vector<zelmo::CloudDevice> one(1, zelmo::CloudDevice{"S", "n", "T", "", ""});
  std::vector<zelmo::CloudDevice> other = one;
  one[0].user = std::string(90, 'a');
  one[0].key = std::string(60, 'a');
  other[0].user = std::string(90, 'b');
  other[0].key = std::string(60, 'b');
  zelmo::WriteDeviceList(object.data(), one);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i)
      zelmo::WriteDeviceList(object.data(), i % 2 == 0 ? other : one);
    stop.store(true);
  });
  int torn = 0;
  char entry[kZelmoDeviceEntrySize];
  while (!stop.load()) {
    ASSERT_EQ(zelmo::CopyDeviceEntry(object.data(), 0, entry), 0);
    std::string user = ZelmoEntryUser(entry);
    std::string key = ZelmoEntryKey(entry);
    if (user != std::string(90, user[0]) || key != std::string(60, user[0]))
      ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(zelmo::CopyDeviceEntry(object.data(), 1, entry), -1);
}

}  // namespace
