// Device web interface (see device_web.h). The page is built on the server from
// the query alone: it needs no script, so what the browser shows is what the
// gateway handed over.
#include "devcloud/device_web.h"

#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include "devcloud/html.h"

namespace devcloud {
namespace {

// The device's own look: a plain recorder interface, not the cloud's portal.
const char* const kDeviceStyle =
    "body{margin:0;font:15px/1.45 system-ui,sans-serif;background:#eef1f4;color:#1f2a33}"
    "header{background:#23313d;color:#fff;padding:14px 24px}"
    "header h1{margin:0;font-size:20px}header p{margin:2px 0 0;color:#b7c4cf}"
    "main{max-width:640px;margin:24px auto;background:#fff;border:1px solid #d5dbe1;"
    "border-radius:6px;padding:20px 24px}"
    ".ok{color:#17693a;font-weight:600}.bad{color:#a32020;font-weight:600}"
    "table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:6px 8px;"
    "border-bottom:1px solid #e3e7eb}th{color:#5b6b78;font-weight:600}"
    "figure{margin:0}#live-view{display:block;background:#111a22;border-radius:4px}"
    "figcaption{color:#5b6b78;margin-top:6px}ul{margin:4px 0;padding-left:22px}"
    "code{background:#eef1f4;padding:1px 4px;border-radius:3px;white-space:nowrap}";

struct PortLabel {
  const char* member;
  const char* label;
};

const PortLabel kPortLabels[] = {
    {"ip", "Computer address"},
    {"http", "Web interface"},
    {"rtsp", "RTSP"},
    {"live", "Live media"},
    {"sdk", "SDK"},
    {"sip", "SIP"},
    {"ipchttp", "Camera web"},
    {"ipcrtsp", "Camera RTSP"},
};

std::string PortRows(const nlohmann::json& record) {
  std::string rows;
  for (const PortLabel& port : kPortLabels) {
    auto value = record.find(port.member);
    std::string text =
        value != record.end() && value->is_string() ? value->get<std::string>() : std::string("-");
    rows += std::string("<tr><td>") + port.label + "</td><td>" + port.member + "</td><td>" +
            EscapeHtml(text) + "</td></tr>";
  }
  return rows;
}

// The port record that Key2 carries, or a non-object when there is none.
nlohmann::json PortRecord(const std::string& key2) {
  std::string text = key2;
  for (char& c : text) {
    if (c == ' ')
      c = '+';  // a "+" that a form decoder turned into a blank
  }
  std::string decoded;
  if (key2.empty() || !DecodeBase64(text, decoded))
    return nlohmann::json();
  return nlohmann::json::parse(decoded, nullptr, false);
}

std::string PortSection(const std::string& key2, const nlohmann::json& record) {
  if (key2.empty())
    return "<p>No port record was handed over.</p>";
  if (!record.is_object())
    return "<p class=\"bad\">The port record could not be read.</p>";
  return "<table id=\"ports\"><tr><th>Service</th><th>Name</th><th>Port</th></tr>" +
         PortRows(record) + "</table>";
}

// A member of the record that holds a port number, or "" when it holds none.
std::string RecordPort(const nlohmann::json& record, const char* member) {
  auto value = record.find(member);
  if (value == record.end() || !value->is_string())
    return std::string();
  const std::string& text = value->get<std::string>();
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::string();
  long port = std::stol(text);
  return port > 0 && port < 65536 ? std::to_string(port) : std::string();
}

std::string PlayerCommand(const std::string& host, const std::string& port) {
  return "ffplay -rtsp_transport tcp rtsp://" + EscapeHtml(host) + ":" + port + "/";
}

// The picture from the media port ("live"), as a recorder's own page shows it,
// and the players' address of the RTSP ports.
std::string LiveSection(const DeviceInfo& device, const nlohmann::json& record,
                        const std::string& host) {
  std::string live = RecordPort(record, "live");
  std::string rtsp = RecordPort(record, "rtsp");
  std::string camera = RecordPort(record, "ipcrtsp");
  std::string html = "<h2>Live view</h2>";
  if (live.empty()) {
    html += "<p class=\"bad\">No live view: the port record names no media port.</p>";
  } else {
    html += "<figure><img id=\"live-view\" src=\"http://" + EscapeHtml(host) + ":" + live +
            "/\" width=\"320\" height=\"240\" alt=\"Live view of " + EscapeHtml(device.name) +
            "\"><figcaption>Live from the media port (live) <b id=\"live-port\">" + live +
            "</b> on " + EscapeHtml(host) + ".</figcaption></figure>";
  }
  std::string players;
  if (!rtsp.empty())
    players += "<li>Recorder: <code id=\"player\">" + PlayerCommand(host, rtsp) + "</code></li>";
  if (!camera.empty())
    players += "<li>Camera 1: <code>" + PlayerCommand(host, camera) + "</code></li>";
  if (!players.empty())
    html += "<p>In a player, RTSP over TCP:</p><ul>" + players + "</ul>";
  return html;
}

}  // namespace

bool DecodeBase64(const std::string& text, std::string& out) {
  std::string padded = text;
  while (padded.size() % 4 != 0)
    padded += '=';
  std::string bytes(padded.size() / 4 * 3 + 1, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                          reinterpret_cast<const unsigned char*>(padded.data()),
                          static_cast<int>(padded.size()));
  if (n < 0)
    return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < padded.size() && padded[padded.size() - 1 - padding] == '=') {
    ++padding;
  }
  if (static_cast<std::size_t>(n) < padding)
    return false;
  out.assign(bytes.data(), static_cast<std::size_t>(n) - padding);
  return true;
}

std::string PageHost(const std::string& host_header) {
  std::string host = host_header;
  std::size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos)
    host.erase(colon);
  const std::string allowed = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";
  bool name = !host.empty() && host.find_first_not_of(allowed) == std::string::npos;
  bool v6 = host.size() > 2 && host.front() == '[' && host.back() == ']' &&
            host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
  return name || v6 ? host : "localhost";
}

std::string RenderDevicePage(const DeviceInfo& device, const std::string& user,
                             const std::string& key, const std::string& key2,
                             const std::string& host) {
  bool signed_in = user == device.user && key == device.key;
  std::string status = signed_in ? "<p class=\"ok\">Signed in as " + EscapeHtml(user) + "</p>"
                                 : "<p class=\"bad\">Wrong user or key</p>";
  nlohmann::json record = PortRecord(key2);
  std::string live = signed_in && record.is_object() ? LiveSection(device, record, host) : "";
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + EscapeHtml(device.name) +
         " - " + EscapeHtml(device.sn) + "</title><style>" + kDeviceStyle +
         "</style></head><body><header><h1>" + EscapeHtml(device.name) + "</h1><p>Serial " +
         EscapeHtml(device.sn) + "</p></header><main>" + status + live + "<h2>Ports</h2>" +
         PortSection(key2, record) + "</main></body></html>";
}

DeviceWeb::DeviceWeb(DeviceInfo device) : device_(std::move(device)), http_(server_) {
  server_.new_task_queue = [] { return new httplib::ThreadPool(4); };
  server_.set_keep_alive_timeout(2);
  server_.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
    response.set_content(
        RenderDevicePage(device_, request.get_param_value("user"), request.get_param_value("Key"),
                         request.get_param_value("Key2"),
                         PageHost(request.get_header_value("Host"))),
        "text/html; charset=utf-8");
  });
}

DeviceWeb::~DeviceWeb() {
  Stop();
}

int DeviceWeb::Start() {
  int port = http_.Bind("127.0.0.1", 0);
  if (port < 0)
    return -1;
  port_ = static_cast<uint16_t>(port);
  http_.Run();
  return 0;
}

void DeviceWeb::Stop() {
  http_.Stop();
}

}  // namespace devcloud
