// Replies: Key2, the port record, the redirect URL and page, and page files.
// Every text is formatted with snprintf into its fixed buffer; a result that
// would not fit is thrown away whole, because a shortened URL or page would send
// the browser somewhere wrong. The redirect page embeds the very URL the log
// shows, so both come from one format.
#include "gateway/server/replies.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/digest.h"
#include "platform/files.h"

namespace {

#define HG_REDIRECT_URL_FORMAT "http://localhost:%d/?user=%s&Key=%s&Key2=%s"

const char kPortRecordFormat[] =
    "{\"ip\":\"%s\",\"sdk\":\"%d\",\"http\":\"%d\",\"rtsp\":\"%d\",\"live\":\"%d\","
    "\"sip\":\"%d\",\"ipchttp\":\"%d\",\"ipcrtsp\":\"%d\"}";
const char kRedirectUrlFormat[] = HG_REDIRECT_URL_FORMAT;
// Fixed byte for byte: line feeds only, the header's spaced equals sign and the
// tag as written here.
const char kRedirectPageFormat[] =
    "HTTP/1.1 200 OK\n"
    "Content-Type: text/html; charset = utf-8\n"
    "\n"
    "<html><head></head><body><script/javascript>window.location.href =\"" HG_REDIRECT_URL_FORMAT
    "\"</script></body></html>";

// snprintf into out; on truncation or a formatting error out becomes empty.
__attribute__((format(printf, 3, 4))) int FormatWhole(char* out, size_t cap, const char* format,
                                                      ...) {
  if (cap == 0)
    return -1;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(out, cap, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    out[0] = '\0';
    return -1;
  }
  return 0;
}

}  // namespace

int FormatPortRecord(char* out, size_t cap, const char* local_ip, const MappedPorts& ports) {
  const int sip = 0;  // no SIP service is ever mapped
  return FormatWhole(out, cap, kPortRecordFormat, local_ip, ports.SdkMapPort, ports.HttpPort,
                     ports.RTSPPort, ports.MediaPort, sip, ports.AccessIpcHTTPPort,
                     ports.AccessIpcRTSPPort);
}

int FormatKey2(const char* port_record, char* out, size_t cap) {
  return platform::Base64Encode(port_record, strlen(port_record), out, cap) < 0 ? -1 : 0;
}

int FormatRedirectUrl(char* out, size_t cap, int http_port, const char* user, const char* key,
                      const char* key2) {
  return FormatWhole(out, cap, kRedirectUrlFormat, http_port, user, key, key2);
}

bool IsPageScriptSafe(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p == '"' || *p == '\\' || *p == '<' || *p < 0x20 || *p == 0x7f)
      return false;
  }
  return true;
}

int FormatRedirectPage(char* reply, size_t cap, int http_port, const char* user, const char* key,
                       const char* key2) {
  memset(reply, 0, cap);
  if (!IsPageScriptSafe(user) || !IsPageScriptSafe(key) || !IsPageScriptSafe(key2))
    return -2;
  if (FormatWhole(reply, cap, kRedirectPageFormat, http_port, user, key, key2) != 0) {
    memset(reply, 0, cap);
    return -1;
  }
  return 0;
}

int SendRedirectReply(platform::Socket s, const char (&reply)[kReplySize]) {
  return platform::SocketSend(s, reply, kReplySize);
}

int SendPageFile(const char* path, platform::Socket s) {
  platform::TextFile* file = platform::TextFileOpen(path);
  if (file == nullptr)
    return -1;
  char piece[kPageFilePieceSize] = {};
  int n;
  while ((n = platform::TextFileRead(file, piece, sizeof piece)) > 0) {
    platform::SocketSend(s, piece, n);
  }
  platform::TextFileClose(file);
  return 0;
}
