// One receive of the notice channel: the text up to its first NUL, its first
// line, the parse, the service zone, and the start of a window thread with a
// NoticeBlock of its own. Each receive is handled alone: a notice split over two
// receives is two broken lines, and a second notice after the NUL is ignored.
#pragma once
#include <atomic>
#include <cstdint>

#include "popup/notice_parser.h"

constexpr int kReceiveBufferSize = 256;
// One receive takes at most this much, so the text always has room for its NUL.
constexpr int kReceiveCapacity = kReceiveBufferSize - 1;

// The fields of one accepted notice, handed to its window thread, which frees it.
struct NoticeBlock {
  char Devicename[kNoticeFieldSize];
  char CountValue[kNoticeFieldSize];
  char UrlIndex[kNoticeFieldSize];
};

// Zone of the latest accepted notice (initially 1): written by the receive loop
// before the notice's window thread starts, read by the popup to pick its texts.
extern std::atomic<int32_t> ServiceZone;

// The number at the start of a UrlIndex text as atoi reads it ("2." gives 2,
// no digits give 0), held to the 32-bit range instead of overflowing.
int32_t ServiceZoneOf(const char* url_index);

// Starts the window thread for block: 0 when it runs (and owns the block), -1
// when it could not be started (the caller still owns the block).
using PopupStarter = int (*)(NoticeBlock* block);

// Handles the bytes of one receive (1 to kReceiveCapacity of them). Returns 0
// when a window thread was started for a notice, -1 when nothing was started.
int HandleReceive(const char* data, int length, NoticeFields* fields, PopupStarter start);
