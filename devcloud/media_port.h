// The media port ("MediaPort") of a simulated device. The reader speaks first,
// and its first line decides what it gets:
// - an HTTP request line: the live view. "GET /" (with any query) is answered
//   with the live picture as MJPEG, a multipart/x-mixed-replace stream of JPEG
//   frames that a browser shows in an <img>; each viewer gets the newest frame
//   once the previous one went out, so a slow viewer skips frames instead of
//   falling behind. Another path gets 404, another method 405, and a viewer
//   beyond the feed's limit 503.
// - any other line (the tests send "pattern"): bytes without end, as fast as
//   the reader takes them; byte n of the stream is n mod 256, so a reader can
//   check what it got.
// A reader has kFirstLineSeconds to send its first line and the HTTP head
// after it (at most kHeadLimit bytes in all); a live view in which no frame
// moves for kStalledSeconds (the viewer takes none, or none comes) is closed.
#pragma once
#include <asio.hpp>
#include <cstddef>
#include <string>

#include "devcloud/live_feed.h"

namespace devcloud {

constexpr int kFirstLineSeconds = 30;
constexpr int kStalledSeconds = 10;
constexpr std::size_t kHeadLimit = 8192;

// Whether line (without its line end) is an HTTP request line.
bool IsHttpRequestLine(const std::string& line);

// For the request line of a live view request: empty when it asks for the
// live view, else the whole answer that refuses it.
std::string LiveViewRefusal(const std::string& request_line);

// Serves socket as the media port, with feed for the live view.
void ServeMediaPort(asio::ip::tcp::socket socket, LiveFeed feed);

}  // namespace devcloud
