// The receive loop's work for one receive, kept apart from the socket so that it
// can be driven with any bytes. Console messages are those of the notifier.
#include "popup/notice_receive.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "popup/console.h"

std::atomic<int32_t> ServiceZone{1};

int32_t ServiceZoneOf(const char* url_index) {
  long long zone = std::strtoll(url_index, nullptr, 10);
  if (zone > INT32_MAX)
    return INT32_MAX;
  if (zone < INT32_MIN)
    return INT32_MIN;
  return static_cast<int32_t>(zone);
}

namespace {

// The first line as strtok with "\n" takes it: leading line feeds skipped, up to
// the next line feed. 0, or -1 when the text holds no line.
int FirstLine(const char* text, char* line) {
  while (*text == '\n')
    ++text;
  if (*text == '\0')
    return -1;
  size_t length = std::strcspn(text, "\n");
  std::memcpy(line, text, length);
  line[length] = '\0';
  return 0;
}

NoticeBlock* MakeNoticeBlock(const NoticeFields& fields) {
  NoticeBlock* block = new NoticeBlock;
  std::memcpy(block->Devicename, fields.Devicename, kNoticeFieldSize);
  std::memcpy(block->CountValue, fields.CountValue, kNoticeFieldSize);
  std::memcpy(block->UrlIndex, fields.UrlIndex, kNoticeFieldSize);
  return block;
}

}  // namespace

int HandleReceive(const char* data, int length, NoticeFields* fields, PopupStarter start) {
  char text[kReceiveBufferSize];
  std::memset(text, 0, sizeof text);
  if (length < 0)
    length = 0;
  if (length > kReceiveCapacity)
    length = kReceiveCapacity;
  std::memcpy(text, data, length);  // a NUL among the bytes ends the text there
  ConsolePrint("buf:%s\n", text);

  char line[kReceiveBufferSize];
  if (FirstLine(text, line) != 0) {
    ConsolePrint("strtok() error,error code:%d", platform::LastSocketError());
    return -1;
  }
  if (ParseNotice(line, fields) != 0)
    return -1;

  NoticeBlock* block = MakeNoticeBlock(*fields);
  ServiceZone = ServiceZoneOf(fields->UrlIndex);
  int started = start(block);
  ConsolePrint("servicezone:%d\n", ServiceZone.load());
  if (started != 0) {
    ConsolePrint("create windows thread error\n");
    delete block;
    return -1;
  }
  return 0;
}
