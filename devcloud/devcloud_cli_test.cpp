// devcloud as a program: its help, its start-up lines, a clean end on SIGTERM,
// and a device agent as a process of its own, refused without its device's
// secret, whose end makes the device vanish.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace {

// A devcloud process with its standard output and error on one pipe.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    args.insert(args.begin(), DEVCLOUD_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0)
      return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    if (posix_spawn(&pid_, DEVCLOUD_PATH, &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0 && Wait(0) == kRunning) {
      kill(pid_, SIGKILL);
      Wait(10);
    }
    if (out_ >= 0)
      close(out_);
  }

  // The first output line holding part, within seconds; empty when none came.
  std::string WaitForLine(const std::string& part, int seconds = 15) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      std::size_t newline;
      while ((newline = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        if (line.find(part) != std::string::npos)
          return line;
      }
      pollfd readable{out_, POLLIN, 0};
      if (poll(&readable, 1, 100) <= 0)
        continue;
      char chunk[4096];
      ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0)
        break;
      pending_.append(chunk, static_cast<std::size_t>(n));
    }
    return std::string();
  }

  static constexpr int kRunning = -1000;

  // The exit status once the process ended within seconds, else kRunning.
  int Wait(int seconds) {
    for (int i = 0; i <= seconds * 20; ++i) {
      int status = 0;
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      }
      if (done < 0)
        return kRunning;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return kRunning;
  }

  int Terminate() {
    kill(pid_, SIGTERM);
    return Wait(15);
  }

  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
};

nlohmann::json DeviceStats(int port, const std::string& sn) {
  httplib::Client client("127.0.0.1", port);
  auto result = client.Get("/admin/stats");
  if (!result)
    return nlohmann::json();
  nlohmann::json stats = nlohmann::json::parse(result->body);
  for (const auto& device : stats["devices"]) {
    if (device["sn"] == sn)
      return device;
  }
  return nlohmann::json();
}

bool WaitForOnline(int port, const std::string& sn, bool online) {
  for (int i = 0; i < 200; ++i) {
    if (DeviceStats(port, sn)["online"] == online)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(DevcloudProgram, HelpDescribesTheOptionsAndBadOptionsFail) {
  Child help({"--help"});
  ASSERT_TRUE(help.started());
  EXPECT_NE(help.WaitForLine("--agent SERIAL --cloud HOST:PORT"), "");
  EXPECT_EQ(help.Wait(10), 0);
  Child bad({"--listen", "nowhere"});
  EXPECT_NE(bad.WaitForLine("bad --listen nowhere"), "");
  EXPECT_EQ(bad.Wait(10), 2);
}

TEST(DevcloudProgram, ServesUntilSigtermAndAnAgentProcessBringsADeviceOnline) {
  std::string config = testing::TempDir() + "devcloud_cli_test.json";
  std::ofstream(config) << R"({"accounts": [{"user": "u", "password": "p", "devices": [
      {"sn": "SN-EXT", "name": "Remote", "tunnel_id": "t", "user": "op", "key": "k",
       "agent": "external", "agent_secret": "secret-of-sn-ext-0001"}]}]})";
  Child cloud({"--listen", "127.0.0.1:0", "--config", config});
  ASSERT_TRUE(cloud.started());
  std::string relay = cloud.WaitForLine("devcloud: relay on 127.0.0.1:");
  ASSERT_NE(relay, "");
  std::string line = cloud.WaitForLine("devcloud: portal and API on http://127.0.0.1:");
  ASSERT_NE(line, "");
  int port = std::stoi(line.substr(line.rfind(':') + 1));
  httplib::Client client("127.0.0.1", port);
  auto now = client.Get("/getime");
  ASSERT_TRUE(now);
  EXPECT_EQ(now->body.rfind("t=", 0), 0u);
  EXPECT_EQ(DeviceStats(port, "SN-EXT")["online"], false);

  Child impostor({"--agent", "SN-EXT", "--cloud", "127.0.0.1:" + std::to_string(port),
                  "--agent-secret", "not-the-secret-0001"});
  EXPECT_NE(impostor.WaitForLine("devcloud: device agent SN-EXT refused by the relay: bad-proof"),
            "");
  EXPECT_EQ(impostor.Wait(10), 1);
  EXPECT_EQ(DeviceStats(port, "SN-EXT")["online"], false);

  Child agent({"--agent", "SN-EXT", "--cloud", "127.0.0.1:" + std::to_string(port), "--config",
               config, "--expose-services", "SN-EXT"});
  EXPECT_NE(agent.WaitForLine("devcloud: SN-EXT MediaPort on 127.0.0.1:"), "");
  EXPECT_TRUE(WaitForOnline(port, "SN-EXT", true));
  EXPECT_EQ(agent.Terminate(), 0);
  EXPECT_TRUE(WaitForOnline(port, "SN-EXT", false));

  // Given the relay's port, an agent asks the cloud's HTTP nothing (nobody
  // listens on port 9) and takes its record from the config.
  Child remote({"--agent", "SN-EXT", "--cloud", "127.0.0.1:9", "--relay-port",
                relay.substr(relay.rfind(':') + 1), "--config", config});
  EXPECT_TRUE(WaitForOnline(port, "SN-EXT", true));
  EXPECT_EQ(remote.Terminate(), 0);
  EXPECT_TRUE(WaitForOnline(port, "SN-EXT", false));

  EXPECT_EQ(cloud.Terminate(), 0);
  EXPECT_NE(cloud.WaitForLine("devcloud: stopped", 1), "");
}

}  // namespace
