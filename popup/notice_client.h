// The notifier's connection to the notice channel: one connect, no retry, then
// notices until the peer closes or the connection fails.
#pragma once
#include <cstdint>

#include "popup/notice_receive.h"

constexpr const char* kNoticeHost = "127.0.0.1";
constexpr uint16_t kNoticePort = 45000;

// Connects to ipv4:port and hands every receive to HandleReceive with start.
// Returns when the connection could not be made or has ended, after printing
// why; the caller then waits before exiting. Sockets must be started.
void RunNoticeClient(const char* ipv4, uint16_t port, PopupStarter start);
