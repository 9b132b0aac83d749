#include "radio/station_store.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "platform/fd_io.h"
#include "radio/drop.h"
#include "radio/stations.h"

namespace {

// libcurl, loaded the first time a link is downloaded. Most runs of the
// command line download nothing, and libcurl with what it links (TLS, LDAP,
// Kerberos, SSH, some thirty libraries) took 12 ms of every start.
struct Curl {
  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_perform) easy_perform = nullptr;
  decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&curl_easy_strerror) easy_strerror = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
  std::string error;  // why it could not be loaded; "" once it is
};

const Curl& LoadCurl() {
  static const Curl curl = [] {
    Curl c;
    void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);  // kept for the whole run
    if (!library) {
      const char* why = dlerror();
      c.error = why ? why : "libcurl.so.4 cannot be loaded";
      return c;
    }
    bool found = true;
    auto take = [&](auto& function, const char* name) {
      function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
      found = found && function;
    };
    take(c.global_init, "curl_global_init");
    take(c.easy_init, "curl_easy_init");
    take(c.easy_setopt, "curl_easy_setopt");
    take(c.easy_perform, "curl_easy_perform");
    take(c.easy_getinfo, "curl_easy_getinfo");
    take(c.easy_strerror, "curl_easy_strerror");
    take(c.easy_cleanup, "curl_easy_cleanup");
    if (!found) c.error = "libcurl.so.4 lacks a function";
    else c.global_init(CURL_GLOBAL_DEFAULT);
    return c;
  }();
  return curl;
}

struct CurlDeleter {
  void operator()(CURL* curl) const { LoadCurl().easy_cleanup(curl); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

StationResult Failure(StationError error, std::string detail = {}, std::string name = {}) {
  return StationResult{error, std::move(name), std::move(detail)};
}

// The link's own checks, before anything touches the network.
StationResult CheckLink(const std::string& link, std::string* linkName) {
  if (!IsPlaylistLink(link)) return Failure(StationError::NotAPlaylistLink);
  *linkName = FileNameFromLink(link);
  if (linkName->empty()) return Failure(StationError::NoFileName);
  // A name from the network never leaves the folder, and never poses as a
  // download in progress.
  if (!IsPlainFileName(*linkName) ||
      linkName->compare(0, strlen(kDownloadPrefix), kDownloadPrefix) == 0)
    return Failure(StationError::BadFileName, {}, *linkName);
  return {};
}

// Where the body goes: the temporary file, line feeds stored as CR LF.
struct Sink {
  int fd = -1;
  size_t received = 0;
  size_t limit = 0;
  bool tooLarge = false;
  int writeErrno = 0;
  bool lastWasCR = false;  // across chunks: a CR LF split between two stays CR LF
  std::string converted;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  Sink* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  sink->received += n;
  // The cap counts what arrives, so a body without a length is refused too.
  if (sink->received > sink->limit) {
    sink->tooLarge = true;
    return 0;
  }
  sink->converted.clear();
  for (size_t i = 0; i < n; ++i) {
    if (data[i] == '\n' && !sink->lastWasCR) sink->converted += '\r';
    sink->converted += data[i];
    sink->lastWasCR = data[i] == '\r';
  }
  if (!WriteAll(sink->fd, sink->converted.data(), sink->converted.size())) {
    sink->writeErrno = errno ? errno : EIO;
    return 0;
  }
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const std::atomic<bool>* cancel = static_cast<const std::atomic<bool>*>(user);
  return cancel && cancel->load() ? 1 : 0;
}

std::string Size(size_t bytes) {
  if (bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes % (1 << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

// Renames without ever replacing an existing file.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without the flag: a hard link fails just as well when the
  // name is taken.
  if (link(from.c_str(), to.c_str()) != 0) return -1;
  unlink(from.c_str());
  return 0;
}

}  // namespace

DownloadedPlaylist::DownloadedPlaylist(std::string folder, std::string tempName,
                                       std::string linkName)
    : folder_(std::move(folder)), tempName_(std::move(tempName)), linkName_(std::move(linkName)) {}

DownloadedPlaylist::~DownloadedPlaylist() {
  if (!tempName_.empty()) unlink(Path().c_str());
}

StationResult DownloadPlaylist(const std::string& link, const std::string& folder,
                               const DownloadLimits& limits,
                               std::unique_ptr<DownloadedPlaylist>* download,
                               const std::atomic<bool>* cancel) {
  std::string linkName;
  StationResult checked = CheckLink(link, &linkName);
  if (!checked.ok()) return checked;

  const Curl& lib = LoadCurl();
  if (!lib.error.empty()) return Failure(StationError::DownloadFailed, "cannot load libcurl: " + lib.error);
  CurlHandle curl(lib.easy_init());
  if (!curl) return Failure(StationError::DownloadFailed, "cannot start a transfer");

  std::string dir = folder;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  std::string tempPath = dir + kDownloadPrefix + "XXXXXX";
  int fd = mkostemp(tempPath.data(), O_CLOEXEC);
  if (fd < 0) return Failure(StationError::WriteFailed, strerror(errno));
  // Owned from here on: every way out below deletes it unless it is handed over.
  auto file = std::make_unique<DownloadedPlaylist>(dir, tempPath.substr(dir.size()), linkName);
  fchmod(fd, 0644);  // a station, not a secret: the media server reads it

  Sink sink;
  sink.fd = fd;
  sink.limit = limits.maxBodyBytes;
  char errorText[CURL_ERROR_SIZE] = "";
  CURL* c = curl.get();
  lib.easy_setopt(c, CURLOPT_URL, link.c_str());
  lib.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  lib.easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  lib.easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  lib.easy_setopt(c, CURLOPT_MAXREDIRS, limits.maxRedirects);
  lib.easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
  lib.easy_setopt(c, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
  lib.easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
  lib.easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  lib.easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  lib.easy_setopt(c, CURLOPT_USERAGENT, "hello");
  lib.easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
  lib.easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
  lib.easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  lib.easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  lib.easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
  lib.easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
  // Proxies come from the environment (http_proxy, https_proxy, no_proxy),
  // which libcurl reads by itself.
  CURLcode rc = lib.easy_perform(c);
  int closed = close(fd);
  std::string detail = errorText[0] ? errorText : lib.easy_strerror(rc);

  switch (rc) {
    case CURLE_OK:
      if (closed != 0) return Failure(StationError::WriteFailed, strerror(errno));
      *download = std::move(file);
      return {};
    case CURLE_HTTP_RETURNED_ERROR: {
      long status = 0;
      lib.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
      return Failure(StationError::HttpError, std::to_string(status));
    }
    case CURLE_FILESIZE_EXCEEDED:
      return Failure(StationError::TooLarge, Size(limits.maxBodyBytes));
    case CURLE_WRITE_ERROR:
      if (sink.tooLarge) return Failure(StationError::TooLarge, Size(limits.maxBodyBytes));
      return Failure(StationError::WriteFailed, strerror(sink.writeErrno ? sink.writeErrno : EIO));
    case CURLE_OPERATION_TIMEDOUT:
      return Failure(StationError::TimedOut, detail);
    case CURLE_UNSUPPORTED_PROTOCOL:
      return Failure(StationError::Refused, detail);
    case CURLE_ABORTED_BY_CALLBACK:
      return Failure(StationError::Cancelled);
    default:
      return Failure(StationError::DownloadFailed, detail);
  }
}

StationResult NameStation(std::unique_ptr<DownloadedPlaylist> download) {
  if (!download) return Failure(StationError::DownloadFailed, "nothing was downloaded");
  const std::string from = download->Path();
  std::string title;
  if (ReadStationTitle(from.c_str(), &title) != 0) return Failure(StationError::NoTitle);
  // The title's name first; when the title gives none, or that name cannot
  // be made for another reason than being taken, the link's name.
  for (const std::string& name :
       {StationFileNameForTitle(title), download->LinkName()}) {
    if (name.empty()) continue;
    if (RenameNoReplace(from, download->Folder() + name) == 0) {
      download->tempName_.clear();
      return StationResult{StationError::None, name, {}};
    }
    if (errno == EEXIST) return Failure(StationError::AlreadyStored, {}, name);
  }
  return Failure(StationError::WriteFailed, strerror(errno));
}

StationResult StoreStationFromLink(const std::string& link, const DownloadLimits& limits) {
  std::string linkName;
  StationResult checked = CheckLink(link, &linkName);
  if (!checked.ok()) return checked;
  std::unique_ptr<DownloadedPlaylist> download;
  StationResult downloaded = DownloadPlaylist(link, GetRadioFolder(), limits, &download);
  if (!downloaded.ok()) return downloaded;
  return NameStation(std::move(download));
}

std::string DescribeStationResult(const StationResult& r) {
  switch (r.error) {
    case StationError::None:
      return "stored " + r.name;
    case StationError::NotAPlaylistLink:
      return "the link does not end in \"pls\"; nothing was stored";
    case StationError::NoFileName:
      return "the link has no file name after its last \"=\"; nothing was stored";
    case StationError::BadFileName:
      return "the link's file name \"" + r.name + "\" is not a plain file name; nothing was stored";
    case StationError::Refused:
      return "only http and https links are downloaded (" + r.detail + "); nothing was stored";
    case StationError::HttpError:
      return "the server answered HTTP " + r.detail + "; nothing was stored";
    case StationError::TooLarge:
      return "the playlist is larger than " + r.detail + "; nothing was stored";
    case StationError::TimedOut:
      return "the download took too long (" + r.detail + "); nothing was stored";
    case StationError::DownloadFailed:
      return "the download failed: " + r.detail + "; nothing was stored";
    case StationError::WriteFailed:
      return "cannot write in the station folder: " + r.detail + "; nothing was stored";
    case StationError::Cancelled:
      return "the download was cancelled; nothing was stored";
    case StationError::NoTitle:
      return "the playlist has no title line; nothing was stored";
    case StationError::AlreadyStored:
      return "a station named \"" + r.name + "\" is stored already and was kept";
  }
  return "nothing was stored";
}
