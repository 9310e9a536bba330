// The notice channel's listener: notifiers connect to 127.0.0.1:45000 (loopback
// only, since notices name the user's devices) and are filed as subscribers.
#pragma once
#include <cstdint>

#include "platform/net.h"

constexpr uint16_t kNoticePort = 45000;
// How often the listener frees the entries of notifiers that left, and how
// long it pauses after an accept failure that passes.
constexpr int kSubscriberSweepMs = 1000;
constexpr uint32_t kSubscriberRetryPauseMs = 100;

// A socket listening on 127.0.0.1:port (0: any free port); kInvalidSocket on
// failure, with the socket error code in *error.
platform::Socket OpenSubscriberListener(uint16_t port, int* error);
// Accepts one notifier and files it, or closes it at once (with a log line) when
// every entry is taken. 0; 1 when accepting failed for a while (out of
// descriptors, say); -1 when it failed for good. A failure is logged.
int AcceptSubscriber(platform::Socket listener);
// Listens on 127.0.0.1:port and accepts notifiers on a thread of its own for the
// life of the process, freeing the entries of notifiers that left at least
// every kSubscriberSweepMs. On failure a level-3 line says so and -1 is returned; the
// gateway then runs on without notices.
int StartSubscriberListener(uint16_t port);
