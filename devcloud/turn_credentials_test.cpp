// The credentials the cloud hands out, checked against the real STUN and TURN
// server: an allocation with them succeeds, one with a password made from
// another secret fails.
#include "devcloud/turn_credentials.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio.hpp>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "devcloud/cloud.h"
#include "zelmo/wire.h"

extern char** environ;

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const char kSecret[] = "a-shared-secret-of-the-test-0123";
const char kConfig[] = R"({"accounts": [{"user": "alice", "password": "pw", "devices": [
  {"sn": "SN-1", "name": "Lab", "tunnel_id": "tn-1", "user": "admin", "key": "K1"}]}]})";

// A UDP port that was free a moment ago.
int FreeUdpPort() {
  asio::io_context io;
  asio::ip::udp::socket socket(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return socket.local_endpoint().port();
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    return -1;
  return pid;
}

// The exit status of the program, or -1 when it did not end within 20 s
// (it is then killed).
int Run(const std::vector<std::string>& args) {
  pid_t pid = Spawn(args);
  if (pid < 0)
    return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class TurnServer {
 public:
  explicit TurnServer(int port)
      : folder_(fs::temp_directory_path() / ("hg-turn-" + std::to_string(getpid()))) {
    fs::create_directories(folder_);
    std::ofstream(folder_ / "turn.conf")
        << "listening-ip=127.0.0.1\nrelay-ip=127.0.0.1\nlistening-port=" << port
        << "\nmin-port=" << port + 1 << "\nmax-port=" << port + 20
        << "\nuse-auth-secret\nstatic-auth-secret=" << kSecret
        << "\nrealm=devcloud.test\nallow-loopback-peers\nno-cli\nno-tls\nno-dtls\nno-stdout-log"
           "\nsimple-log\nlog-file="
        << (folder_ / "turn.log").string() << "\npidfile=" << (folder_ / "turn.pid").string()
        << "\n";
    pid_ = Spawn({"/usr/bin/turnserver", "-c", (folder_ / "turn.conf").string()});
  }
  ~TurnServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  bool started() const { return pid_ > 0; }

 private:
  fs::path folder_;
  pid_t pid_ = -1;
};

// One allocation and a few packets through it; the client's status.
int Allocate(int port, const std::string& user, const std::string& password) {
  return Run({"/usr/bin/turnutils_uclient", "-p", std::to_string(port), "-u", user, "-w", password,
              "-n", "1", "-m", "1", "-l", "100", "-e", "127.0.0.1", "-y", "127.0.0.1"});
}

TEST(TurnCredentials, SignInAndAgentRecordCarryCredentialsTheServerTakes) {
  ASSERT_TRUE(fs::exists("/usr/bin/turnserver")) << "coturn is missing: run scripts/install-deps";
  int port = FreeUdpPort();
  devcloud::CloudOptions options;
  options.listen_port = 0;
  std::string why;
  ASSERT_EQ(devcloud::ParseConfig(kConfig, options.config, why), 0) << why;
  options.turn = {"127.0.0.1:" + std::to_string(port), kSecret};
  devcloud::Cloud cloud(nullptr);
  ASSERT_EQ(cloud.Start(options, why), 0) << why;
  httplib::Client http("127.0.0.1", cloud.http_port());

  auto signed_in = http.Post(zelmo::kPathSignIn, json{{"user", "alice"}, {"password", "pw"}}.dump(),
                             "application/json");
  ASSERT_TRUE(signed_in && signed_in->status == 200);
  json turn = json::parse(signed_in->body)["turn"];
  ASSERT_TRUE(turn.is_object()) << signed_in->body;
  EXPECT_EQ(turn["address"], options.turn.address);
  EXPECT_EQ(turn["ttl"], 600);
  std::string user = turn["username"];
  long long ends = std::atoll(user.c_str());
  EXPECT_EQ(user.substr(user.find(':')), ":alice");
  EXPECT_NEAR(static_cast<double>(ends), static_cast<double>(std::time(nullptr) + 600), 5);

  auto record = http.Get("/api/agent?sn=SN-1");
  ASSERT_TRUE(record && record->status == 200);
  std::string agent_user = json::parse(record->body)["turn"]["username"];
  EXPECT_EQ(agent_user.substr(agent_user.find(':')), ":SN-1");

  TurnServer server(port);
  ASSERT_TRUE(server.started());
  // The server needs a moment to listen; the credentials must then work.
  int status = -1;
  for (int i = 0; i < 25 && status != 0; ++i) {
    status = Allocate(port, user, turn["password"]);
    if (status != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(status, 0);
  devcloud::TurnService other{options.turn.address, "another-secret-of-16-bytes"};
  json forged = devcloud::TurnCredentials(other, "alice", std::time(nullptr));
  EXPECT_NE(Allocate(port, forged["username"], forged["password"]), 0);
  cloud.Stop();
}

TEST(TurnCredentials, NoServerNoTurnAndSecretFileChecked) {
  devcloud::CloudOptions options;
  options.listen_port = 0;
  std::string why;
  ASSERT_EQ(devcloud::ParseConfig(kConfig, options.config, why), 0) << why;
  devcloud::Cloud cloud(nullptr);
  ASSERT_EQ(cloud.Start(options, why), 0) << why;
  auto signed_in = httplib::Client("127.0.0.1", cloud.http_port())
                       .Post(zelmo::kPathSignIn, json{{"user", "alice"}, {"password", "pw"}}.dump(),
                             "application/json");
  ASSERT_TRUE(signed_in && signed_in->status == 200);
  EXPECT_FALSE(json::parse(signed_in->body).contains("turn"));
  cloud.Stop();

  fs::path file = fs::temp_directory_path() / ("hg-turn-secret-" + std::to_string(getpid()));
  std::string secret;
  for (const char* text : {"short\n", "has a blank in it ok\n", ""}) {
    std::ofstream(file, std::ios::binary) << text;
    EXPECT_EQ(devcloud::ReadTurnSecret(file.string(), secret, why), -1) << text;
  }
  std::ofstream(file, std::ios::binary) << kSecret << "\r\nsecond line\n";
  EXPECT_EQ(devcloud::ReadTurnSecret(file.string(), secret, why), 0) << why;
  EXPECT_EQ(secret, kSecret);
  fs::remove(file);
}

}  // namespace
