// Run modes (see run_modes.h). Output goes to standard output, one line per
// event, flushed at once so a parent process sees it while devcloud runs.
#include "devcloud/run_modes.h"

#include <asio.hpp>
#include <csignal>
#include <cstdio>
#include <mutex>

#include "devcloud/agent.h"
#include "devcloud/agent_record.h"
#include "devcloud/cloud.h"

namespace devcloud {
namespace {

void Say(const std::string& line) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int Fail(const std::string& line) {
  std::fprintf(stderr, "devcloud: %s\n", line.c_str());
  return 1;
}

int LoadConfig(const Options& options, CloudConfig& config) {
  if (options.config_path.empty()) {
    config = DemoConfig();
    return 0;
  }
  std::string why;
  if (LoadConfigFile(options.config_path, config, why) != 0) {
    return Fail("config " + options.config_path + ": " + why);
  }
  return 0;
}

// The agent's secret: from the command line, or from the cloud's config file.
int AgentSecret(const Options& options, std::string& secret) {
  const std::string& sn = options.agent_sn;
  if (!options.agent_secret.empty()) {
    secret = options.agent_secret;
    return 0;
  }
  if (options.config_path.empty())
    return Fail("agent " + sn + ": give its secret with --config FILE or --agent-secret SECRET");
  CloudConfig config;
  if (LoadConfig(options, config) != 0)
    return 1;
  const DeviceConfig* device = FindDevice(config, sn);
  if (device == nullptr || device->agent_secret.empty())
    return Fail("agent " + sn + ": config " + options.config_path + " gives it no agent_secret");
  secret = device->agent_secret;
  return 0;
}

// The device's record and the relay's port: from the cloud, or, when the
// relay's port is given, from the cloud's config file without asking the cloud
// at all. The cloud hands the record to loopback peers only, as it holds the
// device's key, so an agent on another computer must be given both.
int AgentRecord(const Options& options, const std::string& host, int port, DeviceInfo& device,
                uint16_t& relay_port) {
  const std::string& sn = options.agent_sn;
  std::string why;
  if (options.relay_port == 0) {
    if (FetchAgentRecord(host, port, sn, device, relay_port, why) != 0)
      return Fail("agent " + sn + ": " + why);
    return 0;
  }
  CloudConfig config;
  if (options.config_path.empty())
    return Fail("agent " + sn + ": --relay-port needs --config FILE for the device's record");
  if (LoadConfig(options, config) != 0)
    return 1;
  const DeviceConfig* found = FindDevice(config, sn);
  if (found == nullptr)
    return Fail("agent " + sn + ": not in config " + options.config_path);
  device = DeviceInfo{found->sn, found->name, found->user, found->key};
  relay_port = static_cast<uint16_t>(options.relay_port);
  return 0;
}

}  // namespace

int RunCloud(const Options& options) {
  CloudOptions cloud_options;
  if (LoadConfig(options, cloud_options.config) != 0)
    return 2;
  SplitHostPort(options.listen, cloud_options.listen_host, cloud_options.listen_port);
  cloud_options.relay_port = options.relay_port;
  cloud_options.expose = options.expose;
  if (!options.turn.empty()) {
    std::string why;
    if (ReadTurnSecret(options.turn_secret_file, cloud_options.turn.secret, why) != 0)
      return Fail("--turn-secret-file: " + why);
    cloud_options.turn.address = options.turn;
  }
  asio::io_context io;
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&io](std::error_code, int) { io.stop(); });
  Cloud cloud(Say);
  std::string why;
  if (cloud.Start(cloud_options, why) != 0)
    return Fail(why);
  io.run();
  cloud.Stop();
  Say("devcloud: stopped");
  return 0;
}

int RunAgent(const Options& options) {
  std::string host;
  int port = 0;
  SplitHostPort(options.cloud, host, port);
  std::string secret;
  if (AgentSecret(options, secret) != 0)
    return 1;
  DeviceInfo device;
  uint16_t relay_port = 0;
  if (AgentRecord(options, host, port, device, relay_port) != 0)
    return 1;
  asio::io_context io;
  asio::ip::tcp::resolver resolver(io);
  std::error_code ec;
  auto relay = resolver.resolve(asio::ip::tcp::v4(), host, std::to_string(relay_port), ec);
  if (ec || relay.empty())
    return Fail("relay of " + host + " not resolved");
  asio::signal_set signals(io, SIGINT, SIGTERM);
  Agent agent(io, device, secret, relay.begin()->endpoint(),
              [](const std::string& text) { Say("devcloud: " + text); });
  int status = 0;
  agent.SetRefusedHandler([&io, &status](const std::string&) {
    status = 1;
    io.stop();
  });
  signals.async_wait([&io, &agent](std::error_code, int) {
    agent.Stop();
    io.stop();
  });
  if (!options.turn.empty()) {
    TurnService turn;
    std::string why;
    if (ReadTurnSecret(options.turn_secret_file, turn.secret, why) != 0)
      return Fail("--turn-secret-file: " + why);
    turn.address = options.turn;
    agent.SetTurn(turn);
  }
  if (agent.Start() != 0)
    return Fail("web server of " + device.sn + " did not start");
  Say("devcloud: device agent " + device.sn + " (" + device.name + ") for cloud " + options.cloud);
  for (const std::string& sn : options.expose) {
    if (sn != device.sn)
      return Fail("--expose-services " + sn + " is not this agent's device");
    for (const auto& service : agent.ExposeServices()) {
      Say("devcloud: " + sn + " " + service.first +
          " on 127.0.0.1:" + std::to_string(service.second));
    }
  }
  io.run();
  Say("devcloud: stopped");
  return status;
}

}  // namespace devcloud
