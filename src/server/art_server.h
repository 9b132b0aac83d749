// Serves the pictures embedded in tracks ("/art/<hash>.jpg" or ".png"). The
// file is read on a small pool of threads, never on the event loop; the
// request waits paused until its picture is there. Too many waiting at once
// are turned away.
#pragma once

#include <libsoup/soup.h>

#include <memory>
#include <string>

#include "server/content.h"

class ArtServer {
 public:
  ArtServer();
  ~ArtServer();
  ArtServer(const ArtServer&) = delete;
  ArtServer& operator=(const ArtServer&) = delete;

  // Answers `msg` (on the event loop) with the picture embedded in `file`,
  // whose type must give `extension`; 404 when it has none.
  void Serve(SoupServerMessage* msg, const MediaFile& file, const std::string& extension);

 private:
  struct Job;
  static void Work(gpointer job, gpointer self);
  static gboolean Finish(gpointer job);
  static void Gone(SoupServerMessage* msg, gpointer job);

  GThreadPool* pool_ = nullptr;
  // Requests waiting, counted on the event loop; shared with the reads, whose
  // answers may land after the server went.
  std::shared_ptr<int> waiting_ = std::make_shared<int>(0);
};
