// Portal page (see portal.h).
#include "devcloud/portal.h"

#include "devcloud/check_code.h"
#include "devcloud/html.h"

namespace devcloud {

const char* const kPortalStyle =
    ":root{--ink:#1d2733;--muted:#64748b;--accent:#0f6cbd;--accent-dark:#0b559a;"
    "--page:#f3f6f9;--card:#ffffff;--line:#dfe5ec;--ok:#1a7f4b;--off:#9aa5b1}"
    "body{margin:0;background:var(--page);color:var(--ink);"
    "font:15px/1.5 \"Segoe UI\",system-ui,-apple-system,sans-serif}"
    ".card{max-width:680px;margin:48px auto;background:var(--card);border:1px solid var(--line);"
    "border-radius:10px;box-shadow:0 2px 10px rgba(15,40,70,.06);padding:28px 32px}"
    "h1{margin:0 0 4px;font-size:22px}p.lead{margin:0 0 20px;color:var(--muted)}"
    "a.button{display:inline-block;background:var(--accent);color:#fff;text-decoration:none;"
    "padding:7px "
    "14px;border-radius:6px;font-weight:600}a.button:hover{background:var(--accent-dark)}"
    ".foot{margin-top:18px;color:var(--muted);font-size:13px}";

namespace {

// Layout of the device rows; the colours come from kPortalStyle.
const char* const kListStyle =
    "ul.devices{list-style:none;margin:0;padding:0}"
    "ul.devices li{display:flex;align-items:center;gap:14px;padding:14px 0;"
    "border-top:1px solid var(--line)}"
    ".dot{width:10px;height:10px;border-radius:50%;background:var(--off)}.dot.on{background:var(--"
    "ok)}"
    ".who{flex:1}.who b{display:block}.who span{color:var(--muted);font-size:13px}";

std::string DeviceRow(const AccountConfig& account, const DeviceConfig& device,
                      const DeviceState& state, int64_t service_time, const std::string& listen) {
  std::string tunnel = state.tunnel.empty() ? "" : " &middot; " + EscapeHtml(state.tunnel);
  return std::string("<li><span class=\"dot") + (state.online ? " on" : "") + "\"></span>" +
         "<span class=\"who\"><b>" + EscapeHtml(device.name) + "</b><span>" +
         EscapeHtml(device.sn) + " &middot; " + (state.online ? "online" : "offline") + tunnel +
         "</span></span><a class=\"button\" href=\"" +
         EscapeHtml(PortalLink(account, device, service_time, listen)) +
         "\">Open web interface</a></li>";
}

}  // namespace

// The link ends with "&": the gateway reads a value up to "&" or the end of the
// request line, so without it the last value would take the protocol token too.
std::string PortalLink(const AccountConfig& account, const DeviceConfig& device,
                       int64_t service_time, const std::string& listen) {
  std::string t = std::to_string(service_time + 600);
  std::string host = listen.substr(0, listen.rfind(':'));
  return "http://127.0.0.1:9999/?t=" + t + "&k=" + CheckCode(t) +
         "&u=" + PercentEncode(account.user) + "&c=" + PercentEncode(account.password) +
         "&ds=" + PercentEncode(device.sn) + "&dn=" + PercentEncode(device.name) +
         "&si=" + PercentEncode(host) + "&sc=1&hi=" + PercentEncode(listen) + "&";
}

std::string RenderPortal(const AccountConfig& account, const std::vector<DeviceState>& states,
                         int64_t service_time, const std::string& listen) {
  std::string rows;
  for (std::size_t i = 0; i < account.devices.size(); ++i) {
    DeviceState state = i < states.size() ? states[i] : DeviceState();
    rows += DeviceRow(account, account.devices[i], state, service_time, listen);
  }
  return std::string("<!DOCTYPE html><html><head><meta charset=\"utf-8\">") +
         "<title>Device cloud</title><style>" + kPortalStyle + kListStyle +
         "</style></head><body><div class=\"card\"><h1>Your devices</h1>" +
         "<p class=\"lead\">Signed in as " + EscapeHtml(account.user) +
         ". Open a device's web interface through the gateway on this computer.</p>" +
         "<ul class=\"devices\">" + rows +
         "</ul><p class=\"foot\">Links stay valid for ten "
         "minutes. The gateway must be running on this computer (port 9999).</p>" +
         "</div></body></html>";
}

}  // namespace devcloud
