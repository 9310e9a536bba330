// One RTSP service of a simulated device: GStreamer's RTSP server, serving live
// H.264 of the test picture (test_picture.h) at "/", 15 frames a second. The
// agent hands it each connection of the service (from the relay, or from an
// exposed port); the server listens on no port of its own.
//
// What a player meets:
// - RTP over the RTSP connection (TCP-interleaved) only: that is what a TCP
//   tunnel carries. A SETUP that asks for UDP is answered "461 Unsupported
//   transport", and the player can ask again for TCP.
// - One encoder for all players of the service (a shared media), started by
//   the first player and stopped when the last one leaves; each PLAY asks the
//   encoder for a key frame, so a player that joins a running stream shows a
//   picture at once.
// - At most kMaxRtspClients connections per service; one more is closed at
//   once. A connection that has set up no stream within kRtspIdleSeconds, and
//   one whose session timed out (60 s without a keep-alive), is closed.
//
// The server, its clients and its media live on the media thread
// (media_thread.h); the server is made on the first connection.
#pragma once
#include <asio.hpp>
#include <memory>
#include <string>

namespace devcloud {

constexpr int kMaxRtspClients = 32;
constexpr int kRtspIdleSeconds = 30;
constexpr int kRtspFramesPerSecond = 15;

class DeviceRtsp {
 public:
  // title: the title of the picture, normally the device's name.
  explicit DeviceRtsp(std::string title);
  ~DeviceRtsp();
  DeviceRtsp(const DeviceRtsp&) = delete;
  DeviceRtsp& operator=(const DeviceRtsp&) = delete;

  // Hands a connected socket over to the RTSP server.
  void Serve(asio::ip::tcp::socket socket);

  // Closes every connection, ends the stream and refuses further connections;
  // waits a few seconds at most for the media thread to have done so.
  void Stop();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace devcloud
