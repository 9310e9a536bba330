// Replies: every byte the gateway sends a browser on port 9999. A request ends
// in one of three replies: the redirect page built here (a small HTML page with
// its own status line whose script sends the browser to the device's web server
// on a local port), or one of the two page files beside the program, sent as
// they are. The texts are built into fixed buffers by functions that say
// whether they fitted: a text that does not fit is never cut short, the buffer
// is left empty instead, so a cut page or URL can never reach the browser.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/net.h"

constexpr int kPortRecordSize = 500;    // JSON of the local ports
constexpr int kKey2Size = 200;          // Base64 text of the port record
constexpr int kRedirectUrlSize = 1024;  // the URL, for the log
constexpr int kReplySize = 1024;        // the redirect reply, always sent whole
constexpr int kPageFilePieceSize = 1024;

// The local ports of a ready session, as the port record lists them; 0 for a
// port the tunnel has not mapped.
struct MappedPorts {
  int32_t HttpPort;
  int32_t RTSPPort;
  int32_t SdkMapPort;
  int32_t MediaPort;
  int32_t AccessIpcHTTPPort;
  int32_t AccessIpcRTSPPort;
};

// Each of these returns 0 when the whole text fitted into cap bytes with its NUL,
// and -1 (with out holding the empty text) when it did not.
int FormatPortRecord(char* out, size_t cap, const char* local_ip, const MappedPorts& ports);
// Key2: Base64 of the whole port record text.
int FormatKey2(const char* port_record, char* out, size_t cap);
int FormatRedirectUrl(char* out, size_t cap, int http_port, const char* user, const char* key,
                      const char* key2);

// True when text can stand inside the page's double-quoted script string
// without ending it or the script: no double quote, backslash, "<" or control
// character.
bool IsPageScriptSafe(const char* text);

// Fills all cap bytes of reply: the redirect page, then NUL bytes. 0 when built;
// -1 when it does not fit; -2 when user, key or key2 is not IsPageScriptSafe.
// On failure reply is all NUL.
int FormatRedirectPage(char* reply, size_t cap, int http_port, const char* user, const char* key,
                       const char* key2);

// Sends all kReplySize bytes of the reply in one call, page text and the NUL
// bytes behind it; the count the send reported, or -1.
int SendRedirectReply(platform::Socket s, const char (&reply)[kReplySize]);

// Sends the page file at path as the platform's text mode reads it, in pieces of
// kPageFilePieceSize bytes. 0 when the file was opened (an empty file sends
// nothing and still counts as sent); -1 when it cannot be opened, and nothing
// was sent. The sends are not checked: a browser that left gets no retry.
int SendPageFile(const char* path, platform::Socket s);
