#include "server/connection_guard.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <cstdio>
#include <vector>

namespace {

constexpr guint kTickMs = 1000;
// Ticks in a row with connections waiting and none taken before the listener
// counts as stopped (it gives up for good when an accept fails).
constexpr int kStuckTicks = 3;

std::string PeerOf(GSocket* socket) {
  GSocketAddress* address = g_socket_get_remote_address(socket, nullptr);
  if (!address) return "";
  std::string out;
  if (G_IS_INET_SOCKET_ADDRESS(address)) {
    char* text = g_inet_address_to_string(
        g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address)));
    out = text ? text : "";
    g_free(text);
  }
  g_object_unref(address);
  return out;
}

// The connections waiting in a listening socket's accept queue.
unsigned Waiting(GSocket* listener) {
  struct tcp_info info {};
  socklen_t size = sizeof info;
  if (getsockopt(g_socket_get_fd(listener), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return 0;
  return info.tcpi_unacked;  // for a listening socket: its accept queue
}

}  // namespace

int RaiseDescriptorLimit() {
  struct rlimit r {};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return 1024;
  if (r.rlim_cur < r.rlim_max) {
    struct rlimit raised = r;
    raised.rlim_cur = r.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) r = raised;
  }
  // Everything here polls; nothing needs descriptors below 1024 only.
  return r.rlim_cur > 1 << 20 ? 1 << 20 : static_cast<int>(r.rlim_cur);
}

ConnectionGuard::ConnectionGuard(SoupServer* server, ConnectionLimits limits,
                                 std::function<void()> dead)
    : server_(server), limits_(limits), dead_(std::move(dead)) {
  struct rlimit r {};
  descriptorLimit_ = getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < (1u << 20)
                         ? static_cast<int>(r.rlim_cur)
                         : 1 << 20;
  // Each connection may hold a file too; the rest is kept for ourselves.
  size_t fit = descriptorLimit_ > 2 * limits_.reserveDescriptors
                   ? static_cast<size_t>(descriptorLimit_ - limits_.reserveDescriptors) / 2
                   : 1;
  if (limits_.total > fit) limits_.total = fit;
  if (limits_.perClient > limits_.total) limits_.perClient = limits_.total;
  g_signal_connect(server_, "request-started", G_CALLBACK(OnStarted), this);
  g_signal_connect(server_, "request-read", G_CALLBACK(OnRead), this);
  tick_ = g_timeout_add(kTickMs, OnTick, this);
}

ConnectionGuard::~ConnectionGuard() {
  if (tick_) g_source_remove(tick_);
  g_signal_handlers_disconnect_by_data(server_, this);
  for (auto& [socket, c] : connections_) g_object_weak_unref(G_OBJECT(socket), OnGone, this);
}

void ConnectionGuard::OnGone(gpointer self, GObject* gone) {
  // The address only: the socket is already being finalized.
  static_cast<ConnectionGuard*>(self)->connections_.erase(reinterpret_cast<GSocket*>(gone));
}

void ConnectionGuard::OnStarted(SoupServer*, SoupServerMessage* msg, gpointer self) {
  auto* g = static_cast<ConnectionGuard*>(self);
  // One request per connection: an idle keep-alive connection that the
  // client closes would otherwise stay open here for good.
  soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection",
                               "close");
  ++g->startedSinceTick_;
  // The message may outlive this guard (a device withdrawn): its handlers
  // need nothing of it.
  g_signal_connect(msg, "got-headers", G_CALLBACK(OnHeaders), nullptr);
  if (GSocket* socket = soup_server_message_get_socket(msg)) g->Admit(socket);
}

void ConnectionGuard::OnRead(SoupServer*, SoupServerMessage* msg, gpointer self) {
  auto* g = static_cast<ConnectionGuard*>(self);
  auto it = g->connections_.find(soup_server_message_get_socket(msg));
  if (it != g->connections_.end()) it->second.busy = true;
}

// Before the body is read: one announced as too long is not read at all.
void ConnectionGuard::OnHeaders(SoupServerMessage* msg, gpointer) {
  SoupMessageHeaders* request = soup_server_message_get_request_headers(msg);
  SoupEncoding encoding = soup_message_headers_get_encoding(request);
  if (encoding == SOUP_ENCODING_CONTENT_LENGTH &&
      soup_message_headers_get_content_length(request) > kMaxRequestBody) {
    soup_server_message_set_status(msg, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
    return;
  }
  if (encoding == SOUP_ENCODING_CHUNKED || encoding == SOUP_ENCODING_EOF) {
    g_object_set_data(G_OBJECT(msg), "tarvel-body", nullptr);
    g_signal_connect(msg, "got-chunk", G_CALLBACK(OnChunk), nullptr);
  }
}

// A body of no announced length is counted as it comes; past the limit the
// connection ends, since an answer cannot be given in the middle of it.
void ConnectionGuard::OnChunk(SoupServerMessage* msg, GBytes* chunk, gpointer) {
  auto seen = reinterpret_cast<gsize>(g_object_get_data(G_OBJECT(msg), "tarvel-body"));
  seen += g_bytes_get_size(chunk);
  g_object_set_data(G_OBJECT(msg), "tarvel-body", reinterpret_cast<gpointer>(seen));
  if (seen > static_cast<gsize>(kMaxRequestBody))
    if (GSocket* socket = soup_server_message_get_socket(msg))
      g_socket_shutdown(socket, TRUE, TRUE, nullptr);
}

void ConnectionGuard::Admit(GSocket* socket) {
  if (connections_.count(socket)) return;
  Connection c;
  c.peer = PeerOf(socket);
  c.since = g_get_monotonic_time();
  auto fromPeer = [&] {
    size_t n = 0;
    for (auto& [s, other] : connections_)
      if (other.peer == c.peer) ++n;
    return n;
  };
  size_t mine = fromPeer();
  if (connections_.size() >= limits_.total || mine >= limits_.perClient) {
    Prune();
    mine = fromPeer();
  }
  int fd = g_socket_get_fd(socket);
  if (connections_.size() >= limits_.total || mine >= limits_.perClient ||
      fd >= descriptorLimit_ - limits_.reserveDescriptors) {
    // Refused: the library reads the end of the stream and lets it go.
    g_socket_shutdown(socket, TRUE, TRUE, nullptr);
    if (c.since - lastRefusalLog_ > 10 * G_USEC_PER_SEC) {
      lastRefusalLog_ = c.since;
      fprintf(stderr, "MediaServer: refusing connections from %s (%zu held, %zu from it)\n",
              c.peer.c_str(), connections_.size(), mine);
    }
    return;
  }
  g_object_weak_ref(G_OBJECT(socket), OnGone, this);
  connections_.emplace(socket, std::move(c));
}

gboolean ConnectionGuard::OnTick(gpointer self) {
  auto* g = static_cast<ConnectionGuard*>(self);
  g->Sweep();
  if (!g->reportedDead_ && g->ListenerStuck()) {
    g->reportedDead_ = true;
    fprintf(stderr, "MediaServer: the server no longer accepts connections\n");
    if (g->dead_) g->dead_();
  }
  g->startedSinceTick_ = 0;
  return G_SOURCE_CONTINUE;
}

// Connections that sent no whole request in time are let go; what is being
// answered (a stream) stays.
void ConnectionGuard::Sweep() {
  Prune();
  gint64 limit = g_get_monotonic_time() - gint64{limits_.requestSeconds} * G_USEC_PER_SEC;
  for (auto& [socket, c] : connections_)
    if (!c.busy && c.since < limit) g_socket_shutdown(socket, TRUE, TRUE, nullptr);
}

// Connections the library closed but has not let go of yet.
void ConnectionGuard::Prune() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (!g_socket_is_closed(it->first)) {
      ++it;
      continue;
    }
    g_object_weak_unref(G_OBJECT(it->first), OnGone, this);
    it = connections_.erase(it);
  }
}

bool ConnectionGuard::ListenerStuck() {
  bool waiting = false;
  GSList* listeners = soup_server_get_listeners(server_);
  for (GSList* l = listeners; l; l = l->next)
    if (Waiting(G_SOCKET(l->data)) > 0) waiting = true;
  g_slist_free(listeners);
  stuckTicks_ = waiting && startedSinceTick_ == 0 ? stuckTicks_ + 1 : 0;
  return stuckTicks_ >= kStuckTicks;
}
