#include "server/art_server.h"

#include <memory>

#include "server/cover_art.h"
#include "server/media_probe.h"

namespace {

constexpr int kThreads = 2;
constexpr int kMaxWaiting = 32;

}  // namespace

struct ArtServer::Job {
  std::shared_ptr<int> waiting;
  SoupServerMessage* msg = nullptr;  // a reference of our own
  std::string path, realRoot, extension;
  bool gone = false;  // the client went away while we read
  bool found = false;
  std::string bytes, mime;
};

ArtServer::ArtServer() {
  pool_ = g_thread_pool_new(Work, this, kThreads, FALSE, nullptr);
}

ArtServer::~ArtServer() {
  // Reads under way finish; those queued are dropped, and their requests
  // end with the server's connections.
  g_thread_pool_free(pool_, TRUE, TRUE);
}

void ArtServer::Serve(SoupServerMessage* msg, const MediaFile& file, const std::string& extension) {
  if (*waiting_ >= kMaxWaiting) {
    soup_server_message_set_status(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
    return;
  }
  auto job = std::make_unique<Job>();
  job->waiting = waiting_;
  job->msg = SOUP_SERVER_MESSAGE(g_object_ref(msg));
  job->path = file.path;
  job->realRoot = file.realRoot;
  job->extension = extension;
  g_signal_connect(msg, "finished", G_CALLBACK(Gone), job.get());
  soup_server_message_pause(msg);
  ++*waiting_;
  g_thread_pool_push(pool_, job.release(), nullptr);
}

void ArtServer::Work(gpointer data, gpointer) {
  auto* job = static_cast<Job*>(data);
  job->found = ReadEmbeddedArt(job->path, job->realRoot, &job->bytes, &job->mime) &&
               ArtExtension(job->mime) == job->extension;
  g_idle_add(Finish, job);
}

gboolean ArtServer::Finish(gpointer data) {
  std::unique_ptr<Job> job(static_cast<Job*>(data));
  --*job->waiting;
  g_signal_handlers_disconnect_by_data(job->msg, job.get());
  if (!job->gone) {
    if (job->found) {
      SoupMessageHeaders* response = soup_server_message_get_response_headers(job->msg);
      soup_message_headers_replace(response, "transferMode.dlna.org", "Interactive");
      soup_message_headers_replace(response, "contentFeatures.dlna.org",
                                   DlnaFeatures(MediaKind::Image).c_str());
      soup_server_message_set_response(job->msg, job->mime.c_str(), SOUP_MEMORY_COPY,
                                       job->bytes.data(), job->bytes.size());
      soup_server_message_set_status(job->msg, SOUP_STATUS_OK, nullptr);
    } else {
      soup_server_message_set_status(job->msg, SOUP_STATUS_NOT_FOUND, nullptr);
    }
    soup_server_message_unpause(job->msg);
  }
  g_object_unref(job->msg);
  return G_SOURCE_REMOVE;
}

void ArtServer::Gone(SoupServerMessage*, gpointer data) { static_cast<Job*>(data)->gone = true; }
