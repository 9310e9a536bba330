// devcloud's command line.
#pragma once
#include <string>
#include <vector>

namespace devcloud {

extern const char* const kUsage;

struct Options {
  enum class Mode { kCloud, kAgent, kHelp, kPrintConfig };
  Mode mode = Mode::kCloud;
  std::string listen = "127.0.0.1:8700";
  int relay_port = 0;
  std::string config_path;
  std::vector<std::string> expose;
  std::string agent_sn;
  std::string agent_secret;  // the agent's secret, if given on the command line
  std::string cloud;         // the agent's cloud, "host:port"
  std::string turn;          // the STUN and TURN server, "host:port"; empty: none
  std::string turn_secret_file;
};

// 0, or -1 with why.
int ParseOptions(int argc, const char* const* argv, Options& options, std::string& why);

// "host:port" with a port of 0 to 65535; 0 or -1.
int SplitHostPort(const std::string& text, std::string& host, int& port);

}  // namespace devcloud
