// Live feed (see live_feed.h). The viewers are kept under the state's mutex,
// which the GStreamer thread that delivers frames takes too; the pipeline is
// touched on the media thread only, and started or stopped there to match
// whether anyone watches at that moment, so a join and a leave in quick
// succession end where they should whatever the order of the tasks.
#include "devcloud/live_feed.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "devcloud/media_thread.h"
#include "devcloud/test_picture.h"

namespace devcloud {

struct LiveFeed::State {
  std::string title;
  std::mutex mutex;
  std::map<int, std::shared_ptr<Viewer>> viewers;  // under mutex
  int next_id = 1;                                 // under mutex
  bool stopped = false;                            // under mutex
  bool used = false;                               // under mutex: a task was posted
  GstElement* pipeline = nullptr;                  // media thread only
};

namespace {

using State = LiveFeed::State;

constexpr auto kStopWait = std::chrono::seconds(5);

std::vector<std::shared_ptr<LiveFeed::Viewer>> TakeViewers(State& state, bool remove) {
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<std::shared_ptr<LiveFeed::Viewer>> viewers;
  for (auto& entry : state.viewers)
    viewers.push_back(entry.second);
  if (remove)
    state.viewers.clear();
  return viewers;
}

GstFlowReturn OnFrame(GstAppSink* sink, gpointer data) {
  auto& state = **static_cast<std::shared_ptr<State>*>(data);
  GstSample* sample = gst_app_sink_pull_sample(sink);
  if (sample == nullptr)
    return GST_FLOW_EOS;
  GstMapInfo map;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  LiveFrame frame;
  if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    frame = std::make_shared<const std::string>(reinterpret_cast<const char*>(map.data), map.size);
    gst_buffer_unmap(buffer, &map);
  }
  gst_sample_unref(sample);
  if (frame) {
    for (auto& viewer : TakeViewers(state, false))
      (*viewer)(frame);
  }
  return GST_FLOW_OK;
}

// Drops (at most two frames waiting) rather than queues for a slow reader: the
// viewers keep only the newest frame anyway.
GstElement* MakePipeline(const std::shared_ptr<State>& state) {
  std::string launch = TestPictureLaunch(kLiveFramesPerSecond) +
                       " ! jpegenc quality=75 ! appsink name=frames max-buffers=2 drop=true "
                       "sync=false";
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
  if (error != nullptr) {
    // Most likely a GStreamer plugin package is missing (scripts/install-deps).
    std::fprintf(stderr, "devcloud: the live view of %s cannot start: %s\n", state->title.c_str(),
                 error->message);
    g_clear_error(&error);
    if (pipeline != nullptr)
      gst_object_unref(pipeline);
    return nullptr;
  }
  if (pipeline == nullptr)
    return nullptr;
  GstElement* sink =
      GST_IS_BIN(pipeline) ? gst_bin_get_by_name(GST_BIN(pipeline), "frames") : nullptr;
  if (sink == nullptr) {
    gst_object_unref(pipeline);
    return nullptr;
  }
  SetPictureTitle(pipeline, state->title);
  GstAppSinkCallbacks callbacks = {};
  callbacks.new_sample = OnFrame;
  gst_app_sink_set_callbacks(
      GST_APP_SINK(sink), &callbacks, new std::shared_ptr<State>(state),
      [](gpointer data) { delete static_cast<std::shared_ptr<State>*>(data); });
  gst_object_unref(sink);
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return nullptr;
  }
  return pipeline;
}

void EndPipeline(State& state) {
  if (state.pipeline == nullptr)
    return;
  gst_element_set_state(state.pipeline, GST_STATE_NULL);
  gst_object_unref(state.pipeline);
  state.pipeline = nullptr;
}

// On the media thread: the pipeline runs exactly while someone watches.
void Settle(const std::shared_ptr<State>& state) {
  bool wanted;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    wanted = !state->stopped && !state->viewers.empty();
  }
  if (!wanted)
    return EndPipeline(*state);
  if (state->pipeline != nullptr)
    return;
  state->pipeline = MakePipeline(state);
  if (state->pipeline == nullptr) {
    for (auto& viewer : TakeViewers(*state, true))
      (*viewer)(nullptr);
  }
}

void PostSettle(const std::shared_ptr<State>& state) {
  PostMediaTask([state] { Settle(state); });
}

}  // namespace

LiveFeed::LiveFeed(std::string title) : state_(std::make_shared<State>()) {
  state_->title = std::move(title);
}

int LiveFeed::Join(Viewer viewer) {
  int id;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->stopped || static_cast<int>(state_->viewers.size()) >= kMaxLiveViewers)
      return 0;
    id = state_->next_id++;
    state_->viewers[id] = std::make_shared<Viewer>(std::move(viewer));
    state_->used = true;
  }
  PostSettle(state_);
  return id;
}

void LiveFeed::Leave(int id) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->viewers.erase(id) == 0 || !state_->viewers.empty())
      return;
  }
  PostSettle(state_);
}

void LiveFeed::Stop() {
  bool used;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->stopped)
      return;
    state_->stopped = true;
    used = state_->used;
  }
  for (auto& viewer : TakeViewers(*state_, true))
    (*viewer)(nullptr);
  if (used)
    RunMediaTask([state = state_] { EndPipeline(*state); }, kStopWait);
}

}  // namespace devcloud
