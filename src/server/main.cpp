// MediaServer: the companion media server. Publishes the catalogue of its
// working folder (the data folder) as a UPnP AV MediaServer under the name in
// "ServerName.change", shows its presence under the title "AV MediaServer"
// and runs until it is asked to close or gets SIGTERM or SIGINT; then it says
// goodbye on the network and ends.
//
//   MediaServer [--interface NAME] [--port N]
// TARVEL_SERVER_INTERFACE and TARVEL_SERVER_PORT give the same from the
// environment (the panel starts us without arguments); options win.
// "MediaServer --video-thumbnail" is the server's own child that decodes one
// video frame; no one else starts it.
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/named_mutex.h"
#include "platform/presence.h"
#include "platform/runtime_dir.h"
#include "platform/server_name.h"
#include "server/connection_guard.h"
#include "server/content_source.h"
#include "server/descriptions.h"
#include "server/upnp_server.h"

namespace {

constexpr unsigned kDefaultPort = 49200;
constexpr const char* kPublishMutex = "MediaServer.publish";
constexpr const char* kUdnFile = "MediaServer.uuid";
constexpr const char* kCatalogue = "data.sqlite";
constexpr const char* kRadioFolder = "RadioList";
// Picture thumbnails, kept between runs.
constexpr const char* kThumbnailFolder = "thumbnails";
// How long a server that is present is given to close before we give up.
constexpr auto kTakeOverLimit = std::chrono::seconds(5);

constexpr const char* kUsage = "usage: MediaServer [--interface NAME] [--port N]\n";

int Usage() {
  fputs(kUsage, stderr);
  return 2;
}

bool ParsePort(const char* text, unsigned* port) {
  if (!text || !*text || strlen(text) > 5 || strspn(text, "0123456789") != strlen(text))
    return false;
  unsigned long v = strtoul(text, nullptr, 10);
  if (v == 0 || v > 65535) return false;
  *port = static_cast<unsigned>(v);
  return true;
}

// Exactly one server publishes: whoever holds the publish mutex. A present
// one is asked to close, and we wait for it to go.
std::unique_ptr<NamedMutex> TakeOver() {
  std::unique_ptr<NamedMutex> mutex = NamedMutex::Open(kPublishMutex);
  if (!mutex) return nullptr;
  auto end = std::chrono::steady_clock::now() + kTakeOverLimit;
  auto nextRequest = std::chrono::steady_clock::now();
  while (!mutex->TryWait()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= end) return nullptr;
    if (now >= nextRequest) {
      RequestClose(kServerTitle);
      nextRequest = now + std::chrono::milliseconds(500);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return mutex;
}

// Description folders of servers that ended without removing theirs (a
// crash). Called while we hold the publish mutex, so no live server owns one.
void RemoveStaleFolders(const std::string& base) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(base, ec)) {
    std::string name = e.path().filename().string();
    if (name.size() == 18 && name.compare(0, 12, "MediaServer.") == 0 &&
        e.is_directory(ec) && !e.is_symlink(ec))
      std::filesystem::remove_all(e.path(), ec);
  }
}

// A private folder for the description files, removed when we end.
struct DescriptionFolder {
  std::string path;
  DescriptionFolder() {
    std::string base = RuntimeDir();
    if (base.empty()) base = "/tmp";
    else RemoveStaleFolders(base);
    std::string pattern = base + "/MediaServer.XXXXXX";
    if (mkdtemp(pattern.data())) path = pattern;
  }
  ~DescriptionFolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

struct Published {
  UpnpServer* server;
  std::shared_ptr<const Content> content;
};

gboolean Quit(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  // A child started to decode one video frame (server/video_thumbnail.h).
  if (argc == 2 && strcmp(argv[1], kVideoThumbnailMode) == 0) return RunVideoThumbnailHelper();
  // Descriptors our starter left open (a lock it held, a pipe) are not ours:
  // holding them for our whole life would keep its lock taken or its pipe open.
  close_range(3, ~0U, 0);
  signal(SIGPIPE, SIG_IGN);
  // Every client connection costs a descriptor: take all we may have.
  RaiseDescriptorLimit();
  std::string interface = getenv("TARVEL_SERVER_INTERFACE") ? getenv("TARVEL_SERVER_INTERFACE") : "";
  unsigned port = kDefaultPort;
  if (const char* env = getenv("TARVEL_SERVER_PORT"); env && *env && !ParsePort(env, &port)) {
    fprintf(stderr, "MediaServer: TARVEL_SERVER_PORT must be a port number (1 to 65535)\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--interface" && i + 1 < argc) {
      interface = argv[++i];
    } else if (a == "--port" && i + 1 < argc) {
      if (!ParsePort(argv[++i], &port)) {
        fprintf(stderr, "MediaServer: --port takes a port number (1 to 65535)\n");
        return 2;
      }
    } else {
      return Usage();
    }
  }

  std::unique_ptr<NamedMutex> publishing = TakeOver();
  if (!publishing) {
    fprintf(stderr, "MediaServer: another server is publishing and did not close\n");
    return 1;
  }
  Presence presence(kServerTitle);
  if (!presence.Ok()) {
    fprintf(stderr, "MediaServer: cannot announce itself in the runtime folder\n");
    return 1;
  }

  std::string name = ReadServerName(kMaxServerName);  // the whole name
  if (name.empty()) name = kDefaultServerName;
  std::string udn = LoadOrMakeUdn(kUdnFile);
  DescriptionFolder folder;
  if (udn.empty() || folder.path.empty() || !WriteDescriptions(folder.path, name, udn)) {
    fprintf(stderr, "MediaServer: cannot prepare the device description\n");
    return 1;
  }

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGTERM, Quit, loop);
  g_unix_signal_add(SIGINT, Quit, loop);
  g_unix_fd_add(presence.CloseRequestFd(), G_IO_IN,
                [](gint, GIOCondition, gpointer data) -> gboolean {
                  auto* p = static_cast<std::pair<Presence*, GMainLoop*>*>(data);
                  if (p->first->TakeCloseRequest()) g_main_loop_quit(p->second);
                  return G_SOURCE_CONTINUE;
                },
                new std::pair<Presence*, GMainLoop*>(&presence, loop));

  fprintf(stderr, "MediaServer: serving as \"%s\"\n", name.c_str());
  // A server that cannot take connections must not stay present: it ends,
  // and the periodic check of whoever keeps it running starts a new one.
  bool stuck = false;
  auto onStuck = [&stuck, loop] {
    stuck = true;
    g_main_loop_quit(loop);
  };
  {
    UpnpOptions options{interface, port, name, udn, folder.path};
    options.thumbnailFolder = kThumbnailFolder;
    // Video frames are decoded by this program run again as a child; the
    // link names this program even when an upgrade replaced its file.
    options.videoThumbnailer.command = {"/proc/self/exe", kVideoThumbnailMode};
    options.onStuck = onStuck;
    UpnpServer server(options);
    {
      ContentSource source(kCatalogue, kRadioFolder,
                           [&server](std::shared_ptr<const Content> content,
                                     const std::string& problem) {
                             if (!problem.empty()) fprintf(stderr, "MediaServer: %s\n", problem.c_str());
                             if (!content) return;
                             // The tree is handed to the loop's thread, which owns the server.
                             g_idle_add_full(
                                 G_PRIORITY_DEFAULT,
                                 [](gpointer data) -> gboolean {
                                   auto* p = static_cast<Published*>(data);
                                   p->server->SetContent(p->content);
                                   return G_SOURCE_REMOVE;
                                 },
                                 new Published{&server, std::move(content)},
                                 [](gpointer data) { delete static_cast<Published*>(data); });
                           });
      g_main_loop_run(loop);
    }
    server.Withdraw();
  }
  g_main_loop_unref(loop);
  fprintf(stderr, "MediaServer: closed\n");
  return stuck ? 3 : 0;
}
