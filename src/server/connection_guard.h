// Keeps one HTTP server (a UPnP context's) able to serve whatever its clients
// do: every connection carries one request (the HTTP library of this
// platform keeps idle keep-alive connections that the client closed open for
// good), connections are bounded per client and in all, a connection that
// sends no request in time is closed, request bodies are bounded, and a
// listener that can no longer accept is reported.
// Runs on the GLib main loop of the thread that owns the server.
#pragma once

#include <libsoup/soup.h>

#include <functional>
#include <map>
#include <string>

// Bytes of a request body (a SOAP call is a few kilobytes).
inline constexpr goffset kMaxRequestBody = 1 << 20;

struct ConnectionLimits {
  size_t total = 512;                 // connections held at once
  size_t perClient = 64;              // from one address
  unsigned requestSeconds = 15;       // to send a whole request
  int reserveDescriptors = 64;        // kept free for files, catalogue, events
};

// Raises the soft descriptor limit to the hard one; returns the soft limit now.
int RaiseDescriptorLimit();

class ConnectionGuard {
 public:
  // `dead` is called once when the server's listener stopped accepting.
  ConnectionGuard(SoupServer* server, ConnectionLimits limits, std::function<void()> dead);
  ~ConnectionGuard();
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

  size_t Held() const { return connections_.size(); }

 private:
  struct Connection {
    std::string peer;
    gint64 since = 0;  // monotonic, microseconds
    bool busy = false;  // its request was read: it is being answered
  };

  static void OnStarted(SoupServer*, SoupServerMessage* msg, gpointer self);
  static void OnRead(SoupServer*, SoupServerMessage* msg, gpointer self);
  static void OnHeaders(SoupServerMessage* msg, gpointer self);
  static void OnChunk(SoupServerMessage* msg, GBytes* chunk, gpointer self);
  static gboolean OnTick(gpointer self);
  static void OnGone(gpointer self, GObject* gone);

  void Admit(GSocket* socket);
  void Sweep();
  void Prune();
  bool ListenerStuck();

  SoupServer* server_;
  ConnectionLimits limits_;
  std::function<void()> dead_;
  int descriptorLimit_;
  std::map<GSocket*, Connection> connections_;  // holds a reference to each socket
  guint tick_ = 0;
  unsigned startedSinceTick_ = 0;
  int stuckTicks_ = 0;
  bool reportedDead_ = false;
  gint64 lastRefusalLog_ = 0;
};
