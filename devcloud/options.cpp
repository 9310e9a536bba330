// Command line parsing (see options.h).
#include "devcloud/options.h"

#include "devcloud/cloud_http.h"
#include "zelmo/wire.h"

namespace devcloud {

const char* const kUsage =
    "Usage:\n"
    "  devcloud [--listen HOST:PORT] [--relay-port PORT] [--config FILE]\n"
    "           [--expose-services SERIAL]...\n"
    "  devcloud --agent SERIAL --cloud HOST:PORT (--config FILE | --agent-secret SECRET)\n"
    "           [--relay-port PORT] [--expose-services SERIAL]\n"
    "  devcloud --print-demo-config | --help\n"
    "\n"
    "A local device cloud for the gateway: service clock, accounts, device list,\n"
    "portal, admin endpoints and the tunnel relay, with simulated devices.\n"
    "\n"
    "  --listen HOST:PORT   HTTP (clock, API, portal, admin); default 127.0.0.1:8700,\n"
    "                       port 0 picks a free port. The relay listens on HOST too.\n"
    "  --relay-port PORT    the relay's port; default 0, a free port (sign-in tells\n"
    "                       the library which).\n"
    "  --config FILE        accounts and devices (JSON); default: the demo account\n"
    "                       \"demo\"/\"demo\" with DEMO-0001 Front door, DEMO-0002\n"
    "                       Warehouse and DEMO-0003 Garage (offline). See\n"
    "                       --print-demo-config for the format.\n"
    "  --expose-services SERIAL\n"
    "                       also serve that device's services on loopback ports and\n"
    "                       print them, to reach them without a tunnel.\n"
    "  --turn HOST:PORT --turn-secret-file FILE\n"
    "                       the STUN and TURN server beside the cloud, as the peers\n"
    "                       reach it, and the file whose first line is the secret\n"
    "                       shared with it (16 to 256 printable bytes without\n"
    "                       blanks). Sign-in answers and agent records then carry\n"
    "                       \"turn\": its address and credentials valid for 600 s.\n"
    "                       A device agent given them gathers its direct paths'\n"
    "                       candidates through that server.\n"
    "  --agent SERIAL --cloud HOST:PORT\n"
    "                       run one device agent as a process of its own against a\n"
    "                       running cloud. A device marked \"agent\": \"external\" in\n"
    "                       the config is online only while such an agent runs; an\n"
    "                       agent for a built-in device replaces the built-in one.\n"
    "                       The agent proves the device's \"agent_secret\" to the\n"
    "                       relay: it reads it from the cloud's --config FILE, or\n"
    "                       takes it from --agent-secret SECRET (16 to 200 printable\n"
    "                       bytes without blanks). A refused agent ends with status 1.\n"
    "                       The agent asks the cloud (loopback only) for its device's\n"
    "                       name, user and key and the relay's port; given\n"
    "                       --relay-port PORT it asks nothing and takes them from\n"
    "                       --config FILE, as it must on another computer.\n"
    "\n"
    "Admin (loopback only; POST with Content-Type: application/json):\n"
    "POST /admin/clock?offset=S|fixed=T|status=CODE,\n"
    "/admin/device?sn=SN&online=0|1, /admin/netinfo?sn=SN&code=C&count=N,\n"
    "/admin/drop?sn=SN; GET /admin/stats. offset shifts the service time by S\n"
    "seconds from the real time; fixed freezes it at T; status makes /getime\n"
    "answer with that status (200 restores).\n"
    "Ends cleanly on SIGINT or SIGTERM.\n";

int SplitHostPort(const std::string& text, std::string& host, int& port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0)
    return -1;
  long long value = 0;
  if (!ParseInteger(text.substr(colon + 1), value) || value < 0 || value > 65535)
    return -1;
  host = text.substr(0, colon);
  port = static_cast<int>(value);
  return 0;
}

namespace {

const char* const kValueFlags[] = {"--listen",          "--relay-port", "--config",
                                   "--expose-services", "--agent",      "--cloud",
                                   "--agent-secret",    "--turn",       "--turn-secret-file"};

bool IsValueFlag(const std::string& flag) {
  for (const char* known : kValueFlags) {
    if (flag == known)
      return true;
  }
  return false;
}

int Fail(std::string& why, const std::string& text) {
  why = text;
  return -1;
}

int SetValue(Options& options, const std::string& flag, const std::string& value,
             std::string& why) {
  std::string host;
  int port = 0;
  if (flag == "--listen") {
    if (SplitHostPort(value, host, port) != 0)
      return Fail(why, "bad --listen " + value);
    options.listen = value;
  } else if (flag == "--relay-port") {
    if (SplitHostPort("x:" + value, host, port) != 0)
      return Fail(why, "bad --relay-port " + value);
    options.relay_port = port;
  } else if (flag == "--config") {
    options.config_path = value;
  } else if (flag == "--expose-services") {
    options.expose.push_back(value);
  } else if (flag == "--agent") {
    options.mode = Options::Mode::kAgent;
    options.agent_sn = value;
  } else if (flag == "--agent-secret") {
    if (value.size() < 16 || !zelmo::IsWord(value))
      return Fail(why, "bad --agent-secret: 16 to 200 printable bytes without blanks");
    options.agent_secret = value;
  } else if (flag == "--turn") {
    if (SplitHostPort(value, host, port) != 0 || port == 0 || host.empty())
      return Fail(why, "bad --turn " + value);
    options.turn = value;
  } else if (flag == "--turn-secret-file") {
    options.turn_secret_file = value;
  } else if (flag == "--cloud") {
    if (SplitHostPort(value, host, port) != 0 || port == 0)
      return Fail(why, "bad --cloud " + value);
    options.cloud = value;
  }
  return 0;
}

}  // namespace

int ParseOptions(int argc, const char* const* argv, Options& options, std::string& why) {
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      options.mode = Options::Mode::kHelp;
      return 0;
    }
    if (flag == "--print-demo-config") {
      options.mode = Options::Mode::kPrintConfig;
      continue;
    }
    if (!IsValueFlag(flag))
      return Fail(why, "unknown option " + flag);
    if (i + 1 >= argc)
      return Fail(why, flag + " needs a value");
    if (SetValue(options, flag, argv[++i], why) != 0)
      return -1;
  }
  if (options.turn.empty() != options.turn_secret_file.empty())
    return Fail(why, "--turn and --turn-secret-file go together");
  if (options.mode == Options::Mode::kAgent && options.cloud.empty()) {
    return Fail(why, "--agent needs --cloud HOST:PORT");
  }
  return 0;
}

}  // namespace devcloud
