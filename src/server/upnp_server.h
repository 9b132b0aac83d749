// The UPnP side: one root device per network interface that the context
// manager reports, with ContentDirectory, ConnectionManager and the media
// receiver registrar, and the HTTP handler that serves catalogued files.
// Runs on the GLib main loop of the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/content.h"
#include "server/video_thumbnail.h"

struct UpnpOptions {
  std::string interface;  // "" for every interface
  unsigned port = 0;
  std::string friendlyName;
  std::string udn;
  std::string descriptionFolder;  // holds the description files, written by the caller
  // Where picture thumbnails are kept ("" for none) and how much they may take.
  std::string thumbnailFolder;
  uint64_t thumbnailBytes = 64ull * 1024 * 1024;
  // How video thumbnails are made (empty command: videos go without).
  VideoThumbnailer videoThumbnailer;
  // Called when a device's HTTP server can no longer accept connections.
  std::function<void()> onStuck;
};

class UpnpServer {
 public:
  explicit UpnpServer(UpnpOptions options);
  ~UpnpServer();  // says goodbye on the network first
  UpnpServer(const UpnpServer&) = delete;
  UpnpServer& operator=(const UpnpServer&) = delete;

  // Publishes a new tree (main loop thread). The SystemUpdateID moves and is
  // evented, with the containers that changed, when the tree differs.
  void SetContent(std::shared_ptr<const Content> content);
  // Withdraws the devices (byebye) and gives the messages time to leave.
  void Withdraw();
  // Interfaces that have a device now.
  int DeviceCount() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
