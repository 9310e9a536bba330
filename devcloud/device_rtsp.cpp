// Device RTSP service (see device_rtsp.h).
#include "devcloud/device_rtsp.h"

#include <gio/gio.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <gst/video/video.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "devcloud/media_thread.h"
#include "devcloud/test_picture.h"

namespace devcloud {

// Everything but the two flags is touched on the media thread only.
struct DeviceRtsp::State {
  std::string title;
  std::atomic<bool> stopped{false};
  std::atomic<bool> used{false};  // set by the first Serve: only then is there a server to end
  GstRTSPServer* server = nullptr;
  GSource* sweep = nullptr;
};

namespace {

using asio::ip::tcp;

constexpr guint kSweepSeconds = 5;
constexpr auto kStopWait = std::chrono::seconds(5);
const char* const kConnectedAt = "devcloud-connected-at";

std::string StreamLaunch() {
  return "( " + TestPictureLaunch(kRtspFramesPerSecond) +
         " ! x264enc name=encoder speed-preset=ultrafast tune=zerolatency threads=1 "
         "key-int-max=" +
         std::to_string(2 * kRtspFramesPerSecond) +
         " ! rtph264pay name=pay0 pt=96 config-interval=-1 )";
}

void OnMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer title) {
  GstElement* element = gst_rtsp_media_get_element(media);
  SetPictureTitle(element, static_cast<const char*>(title));
  gst_object_unref(element);
}

// A player that joins a running stream would otherwise wait for the next key
// frame, and decode errors until then.
void OnPlayRequest(GstRTSPClient*, GstRTSPContext* context, gpointer) {
  if (context->media == nullptr)
    return;
  GstElement* element = gst_rtsp_media_get_element(context->media);
  GstElement* encoder =
      GST_IS_BIN(element) ? gst_bin_get_by_name(GST_BIN(element), "encoder") : nullptr;
  if (encoder != nullptr) {
    GstPad* pad = gst_element_get_static_pad(encoder, "src");
    gst_pad_send_event(pad,
                       gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
    gst_object_unref(pad);
    gst_object_unref(encoder);
  }
  gst_object_unref(element);
}

GstRTSPFilterResult DropEmptySession(GstRTSPSessionPool*, GstRTSPSession* session, gpointer) {
  GList* medias = gst_rtsp_session_filter(session, nullptr, nullptr);
  bool empty = medias == nullptr;
  g_list_free_full(medias, g_object_unref);
  return empty ? GST_RTSP_FILTER_REMOVE : GST_RTSP_FILTER_KEEP;
}

// A closed connection takes its streams out of its sessions but leaves the
// sessions in the pool until they time out, where they would count against
// the pool's limit for a minute.
void OnClientClosed(GstRTSPClient* client, gpointer) {
  GstRTSPSessionPool* sessions = gst_rtsp_client_get_session_pool(client);
  if (sessions == nullptr)
    return;
  gst_rtsp_session_pool_filter(sessions, DropEmptySession, nullptr);
  g_object_unref(sessions);
}

void OnClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer) {
  g_object_set_data(G_OBJECT(client), kConnectedAt,
                    reinterpret_cast<gpointer>(static_cast<intptr_t>(g_get_monotonic_time())));
  // Once its session has timed out, the connection goes too.
  g_object_set(client, "post-session-timeout", 1, nullptr);
  g_signal_connect(client, "play-request", G_CALLBACK(OnPlayRequest), nullptr);
  g_signal_connect(client, "closed", G_CALLBACK(OnClientClosed), nullptr);
}

int SessionCount(GstRTSPClient* client) {
  GList* sessions = gst_rtsp_client_session_filter(client, nullptr, nullptr);
  int count = static_cast<int>(g_list_length(sessions));
  g_list_free_full(sessions, g_object_unref);
  return count;
}

GstRTSPFilterResult DropIdleClient(GstRTSPServer*, GstRTSPClient* client, gpointer now) {
  gint64 at = reinterpret_cast<intptr_t>(g_object_get_data(G_OBJECT(client), kConnectedAt));
  gint64 idle = reinterpret_cast<intptr_t>(now) - at;
  if (idle > gint64{kRtspIdleSeconds} * G_USEC_PER_SEC && SessionCount(client) == 0)
    return GST_RTSP_FILTER_REMOVE;
  return GST_RTSP_FILTER_KEEP;
}

GstRTSPFilterResult DropClient(GstRTSPServer*, GstRTSPClient*, gpointer) {
  return GST_RTSP_FILTER_REMOVE;
}

gboolean Sweep(gpointer data) {
  auto* server = static_cast<GstRTSPServer*>(data);
  GstRTSPSessionPool* sessions = gst_rtsp_server_get_session_pool(server);
  gst_rtsp_session_pool_cleanup(sessions);
  g_object_unref(sessions);
  gpointer now = reinterpret_cast<gpointer>(static_cast<intptr_t>(g_get_monotonic_time()));
  gst_rtsp_server_client_filter(server, DropIdleClient, now);
  return G_SOURCE_CONTINUE;
}

int ClientCount(GstRTSPServer* server) {
  GList* clients = gst_rtsp_server_client_filter(server, nullptr, nullptr);
  int count = static_cast<int>(g_list_length(clients));
  g_list_free_full(clients, g_object_unref);
  return count;
}

GstRTSPMediaFactory* MakeFactory(const std::string& title) {
  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(factory, StreamLaunch().c_str());
  gst_rtsp_media_factory_set_shared(factory, TRUE);
  gst_rtsp_media_factory_set_protocols(factory, GST_RTSP_LOWER_TRANS_TCP);
  g_signal_connect_data(
      factory, "media-configure", G_CALLBACK(OnMediaConfigure), g_strdup(title.c_str()),
      [](gpointer text, GClosure*) { g_free(text); }, GConnectFlags(0));
  return factory;
}

// The clients run on the media thread's context (no thread pool threads).
void MakeServer(DeviceRtsp::State& state) {
  GstRTSPServer* server = gst_rtsp_server_new();
  GstRTSPThreadPool* threads = gst_rtsp_server_get_thread_pool(server);
  gst_rtsp_thread_pool_set_max_threads(threads, 0);
  g_object_unref(threads);
  GstRTSPSessionPool* sessions = gst_rtsp_server_get_session_pool(server);
  gst_rtsp_session_pool_set_max_sessions(sessions, kMaxRtspClients);
  g_object_unref(sessions);
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
  gst_rtsp_mount_points_add_factory(mounts, "/", MakeFactory(state.title));
  g_object_unref(mounts);
  g_signal_connect(server, "client-connected", G_CALLBACK(OnClientConnected), nullptr);
  state.sweep = g_timeout_source_new_seconds(kSweepSeconds);
  g_source_set_callback(state.sweep, Sweep, g_object_ref(server), g_object_unref);
  g_source_attach(state.sweep, MediaContext());
  state.server = server;
}

void Admit(DeviceRtsp::State& state, int fd, const std::string& ip, int port) {
  if (state.stopped) {
    close(fd);
    return;
  }
  if (state.server == nullptr)
    MakeServer(state);
  if (ClientCount(state.server) >= kMaxRtspClients) {
    close(fd);
    return;
  }
  GSocket* socket = g_socket_new_from_fd(fd, nullptr);
  if (socket == nullptr) {
    close(fd);
    return;
  }
  gst_rtsp_server_transfer_connection(state.server, socket, ip.c_str(), port, nullptr);
}

void EndServer(DeviceRtsp::State& state) {
  if (state.sweep != nullptr) {
    g_source_destroy(state.sweep);
    g_source_unref(state.sweep);
    state.sweep = nullptr;
  }
  if (state.server != nullptr) {
    gst_rtsp_server_client_filter(state.server, DropClient, nullptr);
    g_object_unref(state.server);
    state.server = nullptr;
  }
}

}  // namespace

DeviceRtsp::DeviceRtsp(std::string title) : state_(std::make_shared<State>()) {
  state_->title = std::move(title);
}

DeviceRtsp::~DeviceRtsp() {
  Stop();
}

void DeviceRtsp::Serve(tcp::socket socket) {
  std::error_code ec;
  tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec || state_->stopped)
    return;
  int fd = socket.release(ec);
  if (ec)
    return;
  state_->used = true;
  PostMediaTask([state = state_, fd, ip = peer.address().to_string(), port = peer.port()] {
    Admit(*state, fd, ip, port);
  });
}

void DeviceRtsp::Stop() {
  if (state_->stopped.exchange(true) || !state_->used)
    return;
  RunMediaTask([state = state_] { EndServer(*state); }, kStopWait);
}

}  // namespace devcloud
