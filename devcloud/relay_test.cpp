// The relay on its own, spoken to from bare sockets as anyone who reaches it
// could: a device agent must prove its device's secret before it is taken as
// the device, keys and stream ids cannot be guessed, a tunnel's control
// connection is answered while pinged and closed when silent, and the accept
// loop backs off instead of spinning when the process is out of descriptors.
// A direct path's set-up lines pass between a tunnel and its own device's
// agent only, at a bounded rate, and the agent's path reports reach the stats.
#include "devcloud/relay.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <dirent.h>
#include <limits>
#include <thread>

#include "devcloud/relay_lines_testing.h"
#include "devcloud/secrets.h"
#include "zelmo/wire.h"

namespace {

using asio::ip::tcp;

const char* const kConfig = R"({"accounts": [
  {"user": "alice", "password": "pw", "devices": [
    {"sn": "SN-A", "name": "Lab", "tunnel_id": "tn-a", "user": "admin", "key": "K1",
     "agent": "external", "agent_secret": "secret-of-sn-a-0001"},
    {"sn": "SN-B", "name": "Yard", "tunnel_id": "tn-b", "user": "admin", "key": "K2",
     "agent": "external", "agent_secret": "secret-of-sn-b-0001"}]}]})";
const char* const kSecret = "secret-of-sn-a-0001";
const char* const kSecretB = "secret-of-sn-b-0001";

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
  // Links an agent for sn with the given secret; the relay's last answer.
  std::string LinkAgent(tcp::socket& agent, std::string& inbox, const std::string& secret,
                        const std::string& sn = "SN-A") {
    if (!Hello(agent, "AGENT " + sn + "\n"))
      return "";
    std::vector<std::string> challenge = zelmo::SplitWords(ReadLine(agent, inbox));
    if (challenge.size() != 2 || challenge[0] != "CHALLENGE" || !IsKey(challenge[1]))
      return "no challenge";
    Send(agent, "PROOF " + devcloud::AgentProof(secret, sn, challenge[1]) + "\n");
    return ReadLine(agent, inbox);
  }
  // Opens a tunnel to sn on control; its stream key, or "" when refused.
  std::string OpenTunnel(tcp::socket& control, std::string& inbox, const std::string& sn) {
    if (!Hello(control, "TUNNEL " + directory_.SignIn("alice", "pw") + " " + sn + "\n"))
      return "";
    std::vector<std::string> ok = zelmo::SplitWords(ReadLine(control, inbox));
    return ok.size() == 3 && ok[0] == "OK" ? ok[2] : "";
  }
  // The relay's notes that hold text.
  int CountNotes(const std::string& text) {
    return relay_.Call([this, text] {
      int count = 0;
      for (const std::string& note : notes_)
        count += note.find(text) != std::string::npos;
      return count;
    });
  }
  // The stats of the one open tunnel, once ready(stats) holds or 5 seconds passed.
  template <typename Ready>
  nlohmann::json TunnelStats(Ready ready) {
    nlohmann::json open;
    for (int i = 0; i < 250; ++i) {
      open = relay_.Call([this] { return relay_.Stats()["tunnels"]; });
      if (open.size() == 1 && ready(open[0]))
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return open.size() == 1 ? open[0] : nlohmann::json();
  }
  bool Linked() {
    return relay_.Call([this] { return relay_.IsLinked("SN-A"); });
  }

  devcloud::Directory directory_{Config()};
  asio::io_context relay_io_;
  std::vector<std::string> notes_;  // written on the relay's thread
  devcloud::Relay relay_{relay_io_, directory_,
                         [this](const std::string& note) { notes_.push_back(note); }};
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

namespace {

// The library's set-up lines reach its device's agent with the tunnel's number
// in front, and the agent's come back without it. The number is the tunnel's
// own, not the device's tunnel id, and an agent that names another device's
// tunnel reaches no one. A line that the number would make too long to read is
// dropped, one that just fits goes through.
TEST_F(RelayTest, DirectLinesPassBetweenATunnelAndItsOwnDevicesAgent) {
  tcp::socket agent_a(io_), agent_b(io_), control_a(io_), control_b(io_);
  std::string agent_a_in, agent_b_in, control_a_in, control_b_in;
  ASSERT_EQ(LinkAgent(agent_a, agent_a_in, kSecret).rfind("LINKED ", 0), 0u);
  ASSERT_EQ(LinkAgent(agent_b, agent_b_in, kSecretB, "SN-B").rfind("LINKED ", 0), 0u);
  const std::string key_a = OpenTunnel(control_a, control_a_in, "SN-A");
  const std::string key_b = OpenTunnel(control_b, control_b_in, "SN-B");
  ASSERT_TRUE(IsKey(key_a));
  ASSERT_TRUE(IsKey(key_b));

  const std::string offer = "OFFER 1 uFrA pass-word-of-twenty-two " + std::string(64, 'e');
  Send(control_a, "DIRECT " + offer + "\n");
  Send(control_b,
       "DIRECT OFFER 1 uFrB other-password-of-twenty-two " + std::string(64, 'f') + "\n");
  std::vector<std::string> to_a = zelmo::SplitWords(ReadLine(agent_a, agent_a_in));
  std::vector<std::string> to_b = zelmo::SplitWords(ReadLine(agent_b, agent_b_in));
  ASSERT_GE(to_a.size(), 3u);
  ASSERT_GE(to_b.size(), 3u);
  const std::string id_a = to_a[1], id_b = to_b[1];
  EXPECT_EQ(zelmo::MakeLine(to_a), "DIRECT " + id_a + " " + offer + "\n");
  EXPECT_EQ(to_b[0], "DIRECT");
  EXPECT_NE(id_a, id_b);
  EXPECT_NE(id_a, "tn-a");

  Send(agent_a, "DIRECT " + id_a + " ANSWER 1 aFrA answer-password-twenty-two\n");
  EXPECT_EQ(ReadLine(control_a, control_a_in), "DIRECT ANSWER 1 aFrA answer-password-twenty-two");

  // B's agent names A's tunnel twice, then its own: its own line arriving shows
  // the two before it were handled.
  Send(agent_b, "DIRECT " + id_a + " CAND 1 forged\nPATH " + id_a +
                    " direct 192.0.2.1:9 1 1\nDIRECT " + id_b + " END 1\n");
  EXPECT_EQ(ReadLine(control_b, control_b_in), "DIRECT END 1");
  Send(agent_a, "DIRECT " + id_a + " END 1\n");
  EXPECT_EQ(ReadLine(control_a, control_a_in), "DIRECT END 1");
  EXPECT_EQ(CountNotes("device agent SN-B named tunnel " + id_a), 1);
  nlohmann::json stats = relay_.Call([this] { return relay_.Stats(); });
  for (const auto& tunnel : stats["tunnels"])
    EXPECT_EQ(tunnel["path"], "cloud") << tunnel;

  // With the number and its blank a line may reach kMaxLineLength, "\n" counted.
  auto line_of = [](std::size_t size) {
    std::string candidate(size - std::string("DIRECT CAND 2 \n").size(), 'c');
    for (std::size_t blank = 200; blank < candidate.size(); blank += 201)
      candidate[blank] = ' ';  // words are at most 200 bytes
    return "DIRECT CAND 2 " + candidate + "\n";
  };
  const std::size_t fits = zelmo::kMaxLineLength - id_a.size() - 1;
  ASSERT_EQ(line_of(fits + 1).size(), fits + 1);
  Send(control_a, line_of(fits + 1) + "DIRECT END 3\n" + line_of(fits));
  EXPECT_EQ(ReadLine(agent_a, agent_a_in), "DIRECT " + id_a + " END 3");
  std::string passed = ReadLine(agent_a, agent_a_in) + "\n";
  EXPECT_EQ(passed.size(), zelmo::kMaxLineLength);
  EXPECT_EQ(passed, "DIRECT " + id_a + line_of(fits).substr(6));
}

// 500 lines at once: the burst passes, the rest is dropped with one note, and a
// line sent once the bucket refilled passes again. Both ways.
TEST_F(RelayTest, DirectLinesAreBoundedPerTunnelAndDirection) {
  tcp::socket agent(io_), control(io_);
  std::string agent_in, control_in;
  ASSERT_EQ(LinkAgent(agent, agent_in, kSecret).rfind("LINKED ", 0), 0u);
  ASSERT_TRUE(IsKey(OpenTunnel(control, control_in, "SN-A")));
  std::string id;  // the tunnel's number, from the first line the agent gets

  // The flood's lines that came through before the line sent after it.
  auto flood = [&](tcp::socket& from, tcp::socket& to, std::string& inbox,
                   const std::string& prefix) {
    std::string lines;
    for (int i = 0; i < 500; ++i)
      lines += prefix + "CAND 1 c" + std::to_string(i) + "\n";
    const auto start = std::chrono::steady_clock::now();
    Send(from, lines);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    Send(from, prefix + "END 1\n");
    int passed = 0;
    std::string line = ReadLine(to, inbox);
    for (; line.find(" CAND 1 c") != std::string::npos; line = ReadLine(to, inbox)) {
      ++passed;
      if (id.empty())
        id = zelmo::SplitWords(line).at(1);
    }
    EXPECT_EQ(line.substr(line.find(" END ") + 1), "END 1") << "the refilled bucket took no line";
    EXPECT_GE(passed, 64);
    EXPECT_LE(passed, 64 + 1 + static_cast<int>(8 * took.count()));
  };
  flood(control, agent, agent_in, "DIRECT ");
  EXPECT_EQ(CountNotes("tunnel " + id + " of SN-A: DIRECT lines from the library over the rate"),
            1);
  ASSERT_FALSE(id.empty());
  flood(agent, control, control_in, "DIRECT " + id + " ");
  EXPECT_EQ(CountNotes("tunnel " + id + " of SN-A: DIRECT lines from the agent over the rate"), 1);
}

// The agent's reports set the tunnel's path and its UDP bytes, which the stats
// add to what the relay carried; a report that is not one, or counts that went
// down, change nothing of it.
TEST_F(RelayTest, PathReportsShowInStatsAndPortal) {
  tcp::socket agent(io_), control(io_), stream(io_), data(io_);
  std::string agent_in, control_in, stream_in, data_in;
  ASSERT_EQ(LinkAgent(agent, agent_in, kSecret).rfind("LINKED ", 0), 0u);
  const std::string key = OpenTunnel(control, control_in, "SN-A");
  ASSERT_TRUE(IsKey(key));
  Send(control, "DIRECT FAIL 1\n");
  std::vector<std::string> fail = zelmo::SplitWords(ReadLine(agent, agent_in));
  ASSERT_EQ(fail.size(), 4u);
  const std::string id = fail[1];
  // One stream over the relay: "ping\n" to the device, "greeting\n" back.
  ASSERT_TRUE(Hello(stream, "STREAM " + key + " SdkMapPort\nping\n"));
  std::vector<std::string> open = zelmo::SplitWords(ReadLine(agent, agent_in));
  ASSERT_EQ(open.size(), 3u);
  ASSERT_TRUE(Hello(data, "DATA " + open[1] + "\ngreeting\n"));
  EXPECT_EQ(ReadLine(stream, stream_in), "greeting");
  EXPECT_EQ(ReadLine(data, data_in), "ping");
  auto udp = [](const nlohmann::json& t, const char* way) { return t["by_path"]["udp"][way]; };

  nlohmann::json tunnel =
      TunnelStats([](const nlohmann::json& t) { return t["bytes_from_device"] == 9; });
  EXPECT_EQ(tunnel["path"], "cloud");
  EXPECT_EQ(tunnel["address"], "");
  EXPECT_EQ(tunnel["bytes_to_device"], 5);
  EXPECT_EQ(udp(tunnel, "bytes_to_device"), 0);
  EXPECT_EQ(relay_.Call([this] { return relay_.TunnelManners("SN-A"); }), "relayed");

  Send(agent, "PATH " + id + " direct 127.0.0.1:40711 1000 2000\n");
  tunnel = TunnelStats([](const nlohmann::json& t) { return t["path"] == "direct"; });
  EXPECT_EQ(tunnel["sn"], "SN-A");
  EXPECT_EQ(tunnel["address"], "127.0.0.1:40711");
  EXPECT_EQ(tunnel["by_path"],
            nlohmann::json::parse(R"({"cloud": {"bytes_to_device": 5, "bytes_from_device": 9},
                                      "udp": {"bytes_to_device": 1000, "bytes_from_device": 2000}})"));
  EXPECT_EQ(tunnel["bytes_to_device"], 1005);
  EXPECT_EQ(tunnel["bytes_from_device"], 2009);
  EXPECT_EQ(relay_.Call([this] { return relay_.TunnelManners("SN-A"); }), "direct");
  nlohmann::json device = relay_.Call([this] { return relay_.Stats()["devices"][0]; });
  EXPECT_EQ(device["bytes"], 14) << "the device's own count is the relay's";

  for (const char* bad :
       {"direct - 1 1", "relay - 3000 3000", "turn - +3000 3000", "turn - 3000 -1",
        "turn - 3e3 3000", "turn - 9223372036854775808 1", "turn -"}) {
    Send(agent, "PATH " + id + " " + bad + "\n");
  }
  Send(agent, "PATH " + id + " turn 127.0.0.1:40711 500 2500\n");
  tunnel = TunnelStats([](const nlohmann::json& t) { return t["path"] != "direct"; });
  EXPECT_EQ(tunnel["path"], "turn");
  EXPECT_EQ(tunnel["address"], "");
  EXPECT_EQ(udp(tunnel, "bytes_to_device"), 1000) << "a count does not go down";
  EXPECT_EQ(udp(tunnel, "bytes_from_device"), 2500);
  EXPECT_EQ(relay_.Call([this] { return relay_.TunnelManners("SN-A"); }), "relayed");

  Send(agent, "PATH " + id + " cloud - 9223372036854775807 2500\n");
  tunnel = TunnelStats([](const nlohmann::json& t) { return t["path"] == "cloud"; });
  EXPECT_EQ(tunnel["bytes_to_device"].get<int64_t>(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(tunnel["bytes_from_device"], 2509);
}

}  // namespace
