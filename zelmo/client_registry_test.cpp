// Client handles and the end of a client: only handles the library made and
// has not deleted are clients, whatever their bytes say, and no callback of a
// client runs once its delete returned, even when the delete came from inside
// one of its own callbacks while more events were due.
#include "zelmo/client_registry.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "zelmo/zelmo_api.h"
#include "zelmo/scripted_server.h"

namespace {

using asio::ip::tcp;
using zelmo_test::ScriptedServer;

const char* const kDevices =
    R"({"devices":[{"sn":"SN-1","name":"Lab","tunnel_id":"tn-1","user":"u","key":"k"}]})";

// A relay that opens every tunnel and sends a network event in the same write
// as its answer, and a cloud that signs in and lists SN-1 for it.
class FakeCloud {
 public:
  FakeCloud()
      : relay_([this](ScriptedServer& server, tcp::socket& socket, const std::string& head) {
          if (head.rfind("TUNNEL ", 0) == 0)
            asio::write(socket, asio::buffer(std::string("OK tn-1 key-1\nNETINFO 1 5\n")));
          ScriptedServer::Drain(server, socket);
          if (head.rfind("TUNNEL ", 0) == 0)
            control_ended_.fetch_add(1);
        }),
        cloud_([this](ScriptedServer&, tcp::socket& socket, const std::string& head) {
          std::string body =
              head.rfind("POST ", 0) == 0
                  ? "{\"token\":\"tok\",\"relay_port\":" + std::to_string(relay_.port()) + "}"
                  : std::string(kDevices);
          asio::write(socket, asio::buffer(zelmo_test::HttpOk(body)));
        }) {}

  std::string url() const { return cloud_.url(); }
  // Waits until a tunnel's control connection has ended; false after 20 s.
  bool WaitForControlEnd() {
    for (int i = 0; i < 1000 && control_ended_.load() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return control_ended_.load() > 0;
  }

 private:
  std::atomic<int> control_ended_{0};
  ScriptedServer relay_;
  ScriptedServer cloud_;
};

TEST(ClientRegistry, OnlyLiveClientsTheLibraryMadeAreClients) {
  FakeCloud cloud;
  void* client = Zelmo_CreateClientV3("alice", "secret", cloud.url().c_str());
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(Zelmo_ListMyDeviceV3(client, ""), 0);
  // Every byte of a client, copied: still no client.
  std::vector<unsigned char> copy(kZelmoClientObjectSize + 32);
  std::memcpy(copy.data(), client, copy.size());
  EXPECT_EQ(Zelmo_ListMyDeviceV3(copy.data(), ""), -1);
  EXPECT_EQ(Zelmo_ClientTryConnectDeviceViaTennelV3(copy.data(), "SN-1"), -1);
  EXPECT_EQ(Zelmo_DeleteClient(copy.data()), -1);
  EXPECT_EQ(Zelmo_AddT2URule(copy.data(), "tn-1", 0, "HttpPort", "127.0.0.1", 1), -2);

  EXPECT_EQ(Zelmo_DeleteClient(client), 0);
  EXPECT_EQ(Zelmo_DeleteClient(client), -1);
  EXPECT_EQ(Zelmo_ListMyDeviceV3(client, ""), -1);
  EXPECT_EQ(Zelmo_ClientTryConnectDeviceViaTennelV3(client, "SN-1"), -1);
}

struct Seen {
  void* client = nullptr;
  std::atomic<bool> deleted{false};
  std::atomic<int> connected{0};
  std::atomic<int> after_delete{0};
};

int OnNetInfo(void* user, int, int) {
  auto* seen = static_cast<Seen*>(user);
  if (seen->deleted.load())
    seen->after_delete.fetch_add(1);
  return 0;
}

int OnClosed(void* user) {
  return OnNetInfo(user, 0, 0) + 1;
}

// As the gateway does: the event callback is set inside the connected one.
int OnConnected(void* user, const char*) {
  auto* seen = static_cast<Seen*>(user);
  seen->connected.fetch_add(1);
  Zelmo_SetNetInfoCallBack(ZelmoTunnelContext(seen->client), seen, OnNetInfo);
  if (Zelmo_DeleteClient(seen->client) == 0)
    seen->deleted.store(true);
  return 0;
}

TEST(ClientRegistry, NoCallbackRunsOnceADeleteFromItsOwnCallbackReturned) {
  FakeCloud cloud;
  Seen seen;
  seen.client = Zelmo_CreateClientV3("alice", "secret", cloud.url().c_str());
  ASSERT_NE(seen.client, nullptr);
  Zelmo_SetClientTunnelConnectedCallBack(seen.client, &seen, OnConnected);
  Zelmo_SetClientTunnelClosedCallBack(seen.client, &seen, OnClosed);
  ASSERT_EQ(Zelmo_ClientTryConnectDeviceViaTennelV3(seen.client, "SN-1"), 0);
  // The client's own thread ends the control connection as it frees the client.
  ASSERT_TRUE(cloud.WaitForControlEnd());
  EXPECT_EQ(seen.connected.load(), 1);
  EXPECT_TRUE(seen.deleted.load());
  EXPECT_EQ(seen.after_delete.load(), 0);
}

}  // namespace
