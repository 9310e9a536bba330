// A simulated device's live view: the test picture (test_picture.h) as JPEG
// frames, 10 a second, for the viewers of the media port's live view
// (media_port.h). One GStreamer pipeline per device, running only while
// someone watches: the first viewer starts it on the media thread
// (media_thread.h), the last one to leave stops it. At most kMaxLiveViewers
// watch at once.
//
// LiveFeed is a handle: copies share one feed, so a viewer's session can keep
// it while the agent that made it stops.
#pragma once
#include <functional>
#include <memory>
#include <string>

namespace devcloud {

constexpr int kMaxLiveViewers = 8;
constexpr int kLiveFramesPerSecond = 10;

// One JPEG picture, shared by every viewer.
using LiveFrame = std::shared_ptr<const std::string>;

class LiveFeed {
 public:
  // Called with each new frame on a GStreamer thread, so it must only hand the
  // frame on; called once with a null frame when the feed ends for it (stopped,
  // or the pipeline could not start), after which a frame that was already on
  // its way may still come.
  using Viewer = std::function<void(LiveFrame)>;

  // title: the title of the picture, normally the device's name.
  explicit LiveFeed(std::string title);

  // Adds a viewer; its id, or 0 when the feed is full or stopped.
  int Join(Viewer viewer);
  // Removes a viewer; it may still be called for a frame already on its way.
  void Leave(int id);
  // Ends the feed for every viewer and for good; waits a few seconds at most
  // for the pipeline to stop.
  void Stop();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace devcloud
