// The relay on its own, spoken to from bare sockets as anyone who reaches it
// could: a device agent must prove its device's secret before it is taken as
// the device, keys and stream ids cannot be guessed, a tunnel's control
// connection is answered while pinged and closed when silent, and the accept
// loop backs off instead of spinning when the process is out of descriptors.
#include "devcloud/relay.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <dirent.h>
#include <thread>

#include "devcloud/relay_lines_testing.h"
#include "devcloud/secrets.h"
#include "zelmo/wire.h"

namespace {

using asio::ip::tcp;

const char* const kConfig = R"({"accounts": [
  {"user": "alice", "password": "pw", "devices": [
    {"sn": "SN-A", "name": "Lab", "tunnel_id": "tn-a", "user": "admin", "key": "K1",
     "agent": "external", "agent_secret": "secret-of-sn-a-0001"}]}]})";
const char* const kSecret = "secret-of-sn-a-0001";

devcloud::CloudConfig Config() {
  devcloud::CloudConfig config;
  std::string why;
  devcloud::ParseConfig(kConfig, config, why);
  return config;
}

bool IsKey(const std::string& text) {
  return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_EQ(relay_.Listen({asio::ip::address_v4::loopback(), 0}, why), 0) << why;
    thread_ = std::thread([this] {
      auto work = asio::make_work_guard(relay_io_);
      relay_io_.run();
    });
  }
  void TearDown() override {
    relay_.Call([this] {
      relay_.Close();
      return 0;
    });
    relay_io_.stop();
    thread_.join();
  }

  bool Hello(tcp::socket& socket, const std::string& line) {
    return devcloud_testing::SayHello(socket, relay_.port(), line);
  }
  void Send(tcp::socket& socket, const std::string& line) {
    std::error_code ignored;
    asio::write(socket, asio::buffer(line), ignored);
  }
  std::string ReadLine(tcp::socket& socket, std::string& inbox) {
    return devcloud_testing::ReadLineWithin(io_, socket, inbox);
  }
  // Links an agent for SN-A with the given secret; the relay's last answer.
  std::string LinkAgent(tcp::socket& agent, std::string& inbox, const std::string& secret) {
    if (!Hello(agent, "AGENT SN-A\n"))
      return "";
    std::vector<std::string> challenge = zelmo::SplitWords(ReadLine(agent, inbox));
    if (challenge.size() != 2 || challenge[0] != "CHALLENGE" || !IsKey(challenge[1]))
      return "no challenge";
    Send(agent, "PROOF " + devcloud::AgentProof(secret, "SN-A", challenge[1]) + "\n");
    return ReadLine(agent, inbox);
  }
  bool Linked() {
    return relay_.Call([this] { return relay_.IsLinked("SN-A"); });
  }

  devcloud::Directory directory_{Config()};
  asio::io_context relay_io_;
  devcloud::Relay relay_{relay_io_, directory_, nullptr};
  std::thread thread_;
  asio::io_context io_;
};

TEST_F(RelayTest, AnAgentIsTakenOnlyWithTheProofOfItsDevicesSecret) {
  tcp::socket stranger(io_), agent(io_), late(io_);
  std::string stranger_in, agent_in, late_in;
  EXPECT_EQ(LinkAgent(stranger, stranger_in, "a-guess-at-the-secret"), "DENIED bad-proof");
  EXPECT_EQ(ReadLine(stranger, stranger_in), "EOF");
  EXPECT_FALSE(Linked());

  std::vector<std::string> linked = zelmo::SplitWords(LinkAgent(agent, agent_in, kSecret));
  ASSERT_EQ(linked.size(), 2u);
  EXPECT_EQ(linked[0], "LINKED");
  EXPECT_TRUE(IsKey(linked[1]));
  EXPECT_TRUE(Linked());

  // Another agent without the secret neither takes nor breaks the link: the
  // device's streams still reach the first agent.
  EXPECT_EQ(LinkAgent(late, late_in, "secret-of-sn-b-0001"), "DENIED bad-proof");
  tcp::socket control(io_), stream(io_);
  std::string control_in;
  ASSERT_TRUE(Hello(control, "TUNNEL " + directory_.SignIn("alice", "pw") + " SN-A\n"));
  std::vector<std::string> ok = zelmo::SplitWords(ReadLine(control, control_in));
  ASSERT_EQ(ok.size(), 3u);
  ASSERT_TRUE(Hello(stream, "STREAM " + ok[2] + " SdkMapPort\n"));
  std::vector<std::string> open = zelmo::SplitWords(ReadLine(agent, agent_in));
  ASSERT_EQ(open.size(), 3u);
  EXPECT_EQ(open[0], "OPEN");
}

// Keys and stream ids are 128 random bits: "DATA" with anything but the id the
// agent was sent takes no stream, and the agent's own "DATA" joins it.
TEST_F(RelayTest, StreamKeysAndIdsCannotBeGuessed) {
  tcp::socket agent(io_), control(io_), first(io_), second(io_), guesser(io_), data(io_);
  std::string agent_in, control_in, first_in, guesser_in;
  ASSERT_EQ(LinkAgent(agent, agent_in, kSecret).rfind("LINKED ", 0), 0u);
  ASSERT_TRUE(Hello(control, "TUNNEL " + directory_.SignIn("alice", "pw") + " SN-A\n"));
  std::vector<std::string> ok = zelmo::SplitWords(ReadLine(control, control_in));
  ASSERT_EQ(ok.size(), 3u);
  EXPECT_TRUE(IsKey(ok[2])) << ok[2];
  ASSERT_TRUE(Hello(first, "STREAM " + ok[2] + " SdkMapPort\nping\n"));
  ASSERT_TRUE(Hello(second, "STREAM " + ok[2] + " SdkMapPort\n"));
  std::vector<std::string> open1 = zelmo::SplitWords(ReadLine(agent, agent_in));
  std::vector<std::string> open2 = zelmo::SplitWords(ReadLine(agent, agent_in));
  ASSERT_EQ(open1.size(), 3u);
  ASSERT_EQ(open2.size(), 3u);
  EXPECT_TRUE(IsKey(open1[1])) << open1[1];
  EXPECT_NE(open1[1], open2[1]);

  ASSERT_TRUE(Hello(guesser, "DATA 1\n"));
  EXPECT_EQ(ReadLine(guesser, guesser_in), "EOF");
  ASSERT_TRUE(Hello(data, "DATA " + open1[1] + "\ngreeting\n"));
  EXPECT_EQ(ReadLine(first, first_in), "greeting");
}

// The library's pings keep a tunnel's control connection; when they stop, the
// relay closes the connection and the tunnel with it.
TEST_F(RelayTest, ControlConnectionIsAnsweredWhilePingedAndClosedWhenSilent) {
  relay_.Call([this] {
    relay_.SetControlSilenceLimit(std::chrono::milliseconds(400));
    return 0;
  });
  tcp::socket agent(io_), control(io_);
  std::string agent_in, control_in;
  ASSERT_EQ(LinkAgent(agent, agent_in, kSecret).rfind("LINKED ", 0), 0u);
  ASSERT_TRUE(Hello(control, "TUNNEL " + directory_.SignIn("alice", "pw") + " SN-A\n"));
  ASSERT_EQ(ReadLine(control, control_in).rfind("OK tn-a ", 0), 0u);
  for (int i = 0; i < 4; ++i) {
    Send(control, "PING\n");
    EXPECT_EQ(ReadLine(control, control_in), "PONG");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(ReadLine(control, control_in), "EOF");
  nlohmann::json stats = relay_.Call([this] { return relay_.Stats(); });
  EXPECT_EQ(stats["devices"][0]["tunnels"], 0);
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr)
      ++count;
    closedir(dir);
  }
  return count;
}

// Connections that come while every descriptor is taken wait in the listen
// queue; the relay's accept fails on them until descriptors are free again.
TEST_F(RelayTest, AcceptBacksOffWhileOutOfDescriptors) {
  std::vector<tcp::socket> waiting;
  for (int i = 0; i < 4; ++i) {
    waiting.emplace_back(io_);
    waiting.back().open(tcp::v4());
  }
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(OpenDescriptors() + 16);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  for (int fd = dup(0); fd >= 0; fd = dup(0))
    filler.push_back(fd);
  for (tcp::socket& socket : waiting)
    socket.connect({asio::ip::address_v4::loopback(), relay_.port()});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  uint64_t errors = relay_.Call([this] { return relay_.Stats()["accept_errors"].get<uint64_t>(); });
  for (int fd : filler)
    close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_GE(errors, 1u);
  EXPECT_LE(errors, 20u) << "the accept loop spun on its error";
  std::string inbox;
  Send(waiting[0], "TUNNEL nobody SN-A\n");
  EXPECT_EQ(ReadLine(waiting[0], inbox), "DENIED unknown-token");
}

}  // namespace
