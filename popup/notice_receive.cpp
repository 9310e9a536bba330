// The receive loop's work for one receive, kept apart from the socket so that it
// can be driven with any bytes. Console messages are those of the notifier.
#include "popup/notice_receive.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "platform/text.h"
#include "popup/console.h"

std::atomic<int32_t> ServiceZone{1};

int32_t ServiceZoneOf(const char* url_index) {
  return static_cast<int32_t>(platform::ParseClampedDecimal(url_index, INT32_MIN, INT32_MAX));
}

namespace {

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

  char* line = platform::CutFirstLine(text);
  if (line == nullptr) {
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
