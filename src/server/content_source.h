// Where the published tree comes from: the catalogue, read through a read-only
// connection of our own while tarvel writes, and the station files of the
// radio folder. A thread notices changes (the catalogue's data_version, the
// station files' names, sizes and times) and builds a new tree for each.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/content.h"

// Reads every media and shared-folder row in one read transaction. False with
// a message when the catalogue is missing, locked or damaged.
bool ReadCatalogue(const std::string& file, CatalogueRows* rows, std::string* error);

// The station files (".pls") of `folder`, each with its FileN= streams (as
// ReadStationFile gives them), by file name. Files without a stream, and
// files that cannot be read as station files, are left out.
std::vector<Station> ReadStations(const std::string& folder);

class ContentSource {
 public:
  using Publish = std::function<void(std::shared_ptr<const Content>, const std::string& problem)>;
  // `publish` runs on the source's thread: once at start, then after each change.
  ContentSource(std::string catalogue, std::string radioFolder, Publish publish);
  ~ContentSource();
  ContentSource(const ContentSource&) = delete;
  ContentSource& operator=(const ContentSource&) = delete;

 private:
  void Run();
  std::string RadioSignature() const;

  std::string catalogue_, radio_;
  Publish publish_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};
