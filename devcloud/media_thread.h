// The media thread: the one thread of the process that runs GStreamer's main
// context, on which every device's RTSP server, its clients and the live
// pictures are set up and torn down. GStreamer is started with the thread, on
// the first task, so a cloud whose devices nobody watches never loads it; the
// thread then lasts until the process ends.
//
// Tasks are handed over under a mutex of our own (not through GLib's queues),
// so that the sanitizers see the hand-over, and each runs inside a dispatch of
// the thread's main context: the RTSP server attaches a connection handed to
// it to the context that is dispatching at the time.
#pragma once
#include <chrono>
#include <functional>

typedef struct _GMainContext GMainContext;

namespace devcloud {

// Runs task on the media thread, after the tasks posted before it.
void PostMediaTask(std::function<void()> task);

// Runs task on the media thread and waits for it up to timeout; false when it
// had not finished by then (it still runs, later). Never call it from the media
// thread itself.
bool RunMediaTask(std::function<void()> task, std::chrono::milliseconds timeout);

// The media thread's main context, for timers. Only for use on that thread.
GMainContext* MediaContext();

}  // namespace devcloud
