// Media thread (see media_thread.h).
#include "devcloud/media_thread.h"

#include <gst/gst.h>

#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace devcloud {
namespace {

struct MediaThread {
  std::mutex mutex;
  std::deque<std::function<void()>> tasks;  // under mutex
  bool drain_pending = false;               // under mutex: an idle source will drain tasks
  GMainContext* context = nullptr;          // set before the thread starts, never changed
};

// Runs the queued tasks one by one, each outside the lock, and ends when the
// queue is empty; a task posted meanwhile attaches a new drain.
gboolean DrainTasks(gpointer data) {
  auto* media = static_cast<MediaThread*>(data);
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(media->mutex);
      if (media->tasks.empty()) {
        media->drain_pending = false;
        return G_SOURCE_REMOVE;
      }
      task = std::move(media->tasks.front());
      media->tasks.pop_front();
    }
    task();
  }
}

// Kept for the life of the process: the thread never ends, so neither may what
// it reads.
MediaThread& Instance() {
  static MediaThread* media = [] {
    gst_init(nullptr, nullptr);
    auto* created = new MediaThread;
    created->context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(created->context, FALSE);
    std::thread([created, loop] {
      g_main_context_push_thread_default(created->context);
      g_main_loop_run(loop);
    }).detach();
    return created;
  }();
  return *media;
}

}  // namespace

void PostMediaTask(std::function<void()> task) {
  MediaThread& media = Instance();
  std::lock_guard<std::mutex> lock(media.mutex);
  media.tasks.push_back(std::move(task));
  if (media.drain_pending)
    return;
  media.drain_pending = true;
  GSource* drain = g_idle_source_new();
  g_source_set_callback(drain, DrainTasks, &media, nullptr);
  g_source_attach(drain, media.context);
  g_source_unref(drain);
}

bool RunMediaTask(std::function<void()> task, std::chrono::milliseconds timeout) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  PostMediaTask([task = std::move(task), done] {
    task();
    done->set_value();
  });
  return finished.wait_for(timeout) == std::future_status::ready;
}

GMainContext* MediaContext() {
  return Instance().context;
}

}  // namespace devcloud
