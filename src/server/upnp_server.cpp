#include "server/upnp_server.h"

#include <fcntl.h>
#include <libgupnp-av/gupnp-av.h>
#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "server/art_server.h"
#include "server/connection_guard.h"
#include "server/cover_art.h"
#include "server/descriptions.h"
#include "server/directory.h"
#include "server/media_info.h"
#include "server/media_probe.h"
#include "server/subtitles.h"
#include "server/thumbnail_maker.h"
#include "server/thumbnails.h"

namespace {

// Bytes read from disk per written chunk: large enough for full speed, small
// enough that many streams at once do not hold the loop.
constexpr size_t kChunk = 512 * 1024;
// The most containers named in one ContainerUpdateIDs event.
constexpr size_t kMaxContainerUpdates = 64;
// Spacing of the goodbyes sent when we withdraw: all of them leave well
// within the time Withdraw gives them.
constexpr guint kGoodbyeSpacingMs = 20;

template <typename T>
struct Unref {
  void operator()(T* p) const {
    if (p) g_object_unref(p);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, Unref<T>>;

struct GFreeString {
  void operator()(char* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFreeString>;

}  // namespace

struct Device {
  UpnpServer::Impl* server = nullptr;
  GPtr<GUPnPContext> context;
  GPtr<GUPnPRootDevice> root;
  GPtr<GUPnPService> directory, connections, registrar;
  std::string host;  // what a client's Host: must say
  std::string baseUrl;
  std::unique_ptr<ConnectionGuard> guard;  // goes before the context
};

struct UpnpServer::Impl {
  UpnpOptions options;
  GPtr<GUPnPContextManager> manager;
  std::vector<std::unique_ptr<Device>> devices;
  std::shared_ptr<const Content> content = Content::Build({}, {}, false);
  unsigned systemUpdateId = 0;
  std::string containerUpdateIds;
  MediaInfoCache mediaInfo;
  std::unique_ptr<Thumbnails> thumbnails;  // null when pictures go without
  GMainContext* loop = nullptr;            // where the thumbnails' answers are given
  SubtitleFinder subtitles;
  std::unique_ptr<FolderArt> folderArt = std::make_unique<FolderArt>(*content);  // of `content`
  ArtServer art;

  bool ThumbnailsOn() const { return thumbnails && thumbnails->Enabled(); }
  void AddContext(GUPnPContext* context);
  void RemoveContext(GUPnPContext* context);
};

namespace {

// ---- ContentDirectory ------------------------------------------------------

std::string Arg(GUPnPServiceAction* action, const char* name) {
  char* value = nullptr;
  gupnp_service_action_get(action, name, G_TYPE_STRING, &value, nullptr);
  std::string out = value ? value : "";
  g_free(value);
  return out;
}

// Text escaped as gupnp escapes an argument's value (&, <, > and "), in one pass.
void AppendArgumentEscaped(std::string* out, std::string_view text) {
  size_t from = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity;
    switch (text[i]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      default: continue;
    }
    out->append(text.substr(from, i - from));
    out->append(entity);
    from = i + 1;
  }
  out->append(text.substr(from));
}

// Whether the client says it takes a gzip answer, which gupnp then compresses.
bool TakesGzip(SoupServerMessage* msg) {
  const char* accept =
      soup_message_headers_get_list(soup_server_message_get_request_headers(msg), "Accept-Encoding");
  if (!accept) return false;
  std::string lower(accept);
  for (char& c : lower) c = static_cast<char>(g_ascii_tolower(c));
  return lower.find("gzip") != std::string::npos;
}

// The answer as gupnp writes it, by itself: the envelope of gupnp's.
std::string Envelope(GUPnPService* service, GUPnPServiceAction* action, const DirectoryAnswer& a,
                     unsigned updateId) {
  const std::string name = gupnp_service_action_get_name(action);
  std::string out =
      "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" + name +
      "Response xmlns:u=\"" + gupnp_service_info_get_service_type(GUPNP_SERVICE_INFO(service)) +
      "\"><Result>";
  AppendArgumentEscaped(&out, a.result);
  out += "</Result><NumberReturned>" + std::to_string(a.returned) + "</NumberReturned><TotalMatches>" +
         std::to_string(a.total) + "</TotalMatches><UpdateID>" + std::to_string(updateId) +
         "</UpdateID></u:" + name + "Response></s:Body></s:Envelope>";
  return out;
}

// gupnp escapes an answer's value one character at a time, each appended to
// a GString by a call of its own: 1.3 ms for a page of 200 items with their
// art, more than half of what the Browse took. So the Result is escaped here
// in one pass, into the body gupnp wrote with it empty, before it is sent:
// gupnp leaves the body to libsoup, which writes it only once the loop runs
// again. An answer gupnp compresses (to a client that takes gzip) is left to
// gupnp whole.
void Answer(GUPnPService* service, GUPnPServiceAction* action, const DirectoryAnswer& a,
            unsigned updateId) {
  if (a.error) {
    gupnp_service_action_return_error(action, a.error, a.message.c_str());
    return;
  }
  GPtr<SoupServerMessage> msg(gupnp_service_action_get_message(action));
  const bool gzip = TakesGzip(msg.get());
  gupnp_service_action_set(action, "Result", G_TYPE_STRING, gzip ? a.result.c_str() : "",
                           "NumberReturned", G_TYPE_UINT, a.returned, "TotalMatches", G_TYPE_UINT,
                           a.total, "UpdateID", G_TYPE_UINT, updateId, nullptr);
  gupnp_service_action_return_success(action);
  if (gzip) return;
  SoupMessageBody* body = soup_server_message_get_response_body(msg.get());
  GBytes* written = soup_message_body_flatten(body);
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(written, &size));
  const std::string_view gupnps(data ? data : "", size);
  constexpr std::string_view kEmpty = "<Result></Result>";
  std::string out;
  if (const size_t at = gupnps.find(kEmpty); at != std::string_view::npos) {
    out.reserve(size + a.result.size() + a.result.size() / 4);
    out.append(gupnps.substr(0, at));
    out += "<Result>";
    AppendArgumentEscaped(&out, a.result);
    out += "</Result>";
    out.append(gupnps.substr(at + kEmpty.size()));
  } else {
    out = Envelope(service, action, a, updateId);  // not as gupnp writes it here: ours whole
  }
  g_bytes_unref(written);
  soup_message_body_truncate(body);
  soup_message_body_append(body, SOUP_MEMORY_COPY, out.data(), out.size());
}

MediaInfoOf InfoOf(UpnpServer::Impl* s) {
  return [s](const MediaFile& f) { return s->mediaInfo.Get(f); };
}
SubtitleOf SubtitlesOf(UpnpServer::Impl* s) {
  return [s](const MediaFile& f) { return s->subtitles.Find(f); };
}

ArtOf ArtFor(Device* d) {
  return [d](const MediaFile& f, const MediaInfo& info) -> Art {
    UpnpServer::Impl* s = d->server;
    std::string path = ArtPath(f, info, *s->folderArt);
    if (path.empty()) return {};
    // A JPEG cover, embedded in a track or in its folder, is offered first as
    // its thumbnail: televisions draw album grids from JPEG_TN art and would
    // otherwise decode each full-size cover. A folder image offers its own
    // profile where it fits one; an embedded picture is offered as it stands.
    const MediaFile* image = info.artMime.empty() ? s->folderArt->Of(f.dir) : nullptr;
    std::string thumbnail;
    if (s->ThumbnailsOn())
      thumbnail = image ? ThumbnailPath(*image) : f.kind == MediaKind::Audio ? ThumbnailPath(f, info) : "";
    Art art;
    if (!thumbnail.empty()) {
      art.thumbnail = d->baseUrl + thumbnail;
      art.elements = AlbumArtElement(art.thumbnail, "JPEG_TN");
    }
    art.elements +=
        AlbumArtElement(d->baseUrl + path, image ? s->mediaInfo.Get(*image).profile : nullptr);
    return art;
  };
}

void OnBrowse(GUPnPService* service, GUPnPServiceAction* action, gpointer data) {
  auto* d = static_cast<Device*>(data);
  PagingArgs paging{Arg(action, "StartingIndex"), Arg(action, "RequestedCount"),
                    Arg(action, "SortCriteria")};
  std::shared_ptr<const Content> content = d->server->content;
  Answer(service, action,
         Browse(*content, d->baseUrl, Arg(action, "ObjectID"), Arg(action, "BrowseFlag"), paging,
                InfoOf(d->server), ArtFor(d), d->server->ThumbnailsOn(), SubtitlesOf(d->server)),
         d->server->systemUpdateId);
}

struct TokenSink {
  std::vector<SearchToken> tokens;
};

void OnOpen(GUPnPSearchCriteriaParser*, gpointer p) {
  static_cast<TokenSink*>(p)->tokens.push_back({SearchToken::Open});
}
void OnClose(GUPnPSearchCriteriaParser*, gpointer p) {
  static_cast<TokenSink*>(p)->tokens.push_back({SearchToken::Close});
}
void OnAnd(GUPnPSearchCriteriaParser*, gpointer p) {
  static_cast<TokenSink*>(p)->tokens.push_back({SearchToken::And});
}
void OnOr(GUPnPSearchCriteriaParser*, gpointer p) {
  static_cast<TokenSink*>(p)->tokens.push_back({SearchToken::Or});
}
gboolean OnExpression(GUPnPSearchCriteriaParser*, const char* property, GUPnPSearchCriteriaOp op,
                      const char* value, GError**, gpointer p) {
  SearchToken t;
  t.property = property ? property : "";
  t.value = value ? value : "";
  t.op = static_cast<SearchToken::Op>(op - GUPNP_SEARCH_CRITERIA_OP_EQ);
  static_cast<TokenSink*>(p)->tokens.push_back(t);
  return TRUE;
}

void OnSearch(GUPnPService* service, GUPnPServiceAction* action, gpointer data) {
  auto* d = static_cast<Device*>(data);
  std::string criteria = Arg(action, "SearchCriteria");
  PagingArgs paging{Arg(action, "StartingIndex"), Arg(action, "RequestedCount"),
                    Arg(action, "SortCriteria")};
  if (!SearchCriteriaFit(criteria)) {
    gupnp_service_action_return_error(action, 708, "Unsupported or invalid search criteria");
    return;
  }
  TokenSink sink;
  std::string trimmed = criteria;
  trimmed.erase(0, trimmed.find_first_not_of(" \t\r\n"));
  if (trimmed != "*" && !trimmed.empty()) {
    GPtr<GUPnPSearchCriteriaParser> parser(gupnp_search_criteria_parser_new());
    g_signal_connect(parser.get(), "begin-parens", G_CALLBACK(OnOpen), &sink);
    g_signal_connect(parser.get(), "end-parens", G_CALLBACK(OnClose), &sink);
    g_signal_connect(parser.get(), "conjunction", G_CALLBACK(OnAnd), &sink);
    g_signal_connect(parser.get(), "disjunction", G_CALLBACK(OnOr), &sink);
    g_signal_connect(parser.get(), "expression", G_CALLBACK(OnExpression), &sink);
    GError* error = nullptr;
    if (!gupnp_search_criteria_parser_parse_text(parser.get(), criteria.c_str(), &error) ||
        sink.tokens.empty()) {
      if (error) g_error_free(error);
      gupnp_service_action_return_error(action, 708, "Invalid search criteria");
      return;
    }
  }
  std::shared_ptr<const Content> content = d->server->content;
  Answer(service, action,
         Search(*content, d->baseUrl, Arg(action, "ContainerID"), sink.tokens, paging,
                InfoOf(d->server), ArtFor(d), d->server->ThumbnailsOn(), SubtitlesOf(d->server)),
         d->server->systemUpdateId);
}

void ReturnString(GUPnPServiceAction* action, const char* name, const std::string& value) {
  gupnp_service_action_set(action, name, G_TYPE_STRING, value.c_str(), nullptr);
  gupnp_service_action_return_success(action);
}

void OnSearchCaps(GUPnPService*, GUPnPServiceAction* action, gpointer) {
  ReturnString(action, "SearchCaps", kSearchCapabilities);
}
void OnSortCaps(GUPnPService*, GUPnPServiceAction* action, gpointer) {
  ReturnString(action, "SortCaps", kSortCapabilities);
}
void OnSystemUpdateId(GUPnPService*, GUPnPServiceAction* action, gpointer data) {
  gupnp_service_action_set(action, "Id", G_TYPE_UINT,
                           static_cast<Device*>(data)->server->systemUpdateId, nullptr);
  gupnp_service_action_return_success(action);
}
void OnFeatureList(GUPnPService*, GUPnPServiceAction* action, gpointer) {
  ReturnString(action, "FeatureList",
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
               "<Features xmlns=\"urn:schemas-upnp-org:av:avs\""
               " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
               " xsi:schemaLocation=\"urn:schemas-upnp-org:av:avs "
               "http://www.upnp.org/schemas/av/avs.xsd\">"
               "<Feature name=\"samsung.com_BASICVIEW\" version=\"1\">"
               "<container id=\"music/all\" type=\"object.item.audioItem\"/>"
               "<container id=\"video/all\" type=\"object.item.videoItem\"/>"
               "<container id=\"pictures/all\" type=\"object.item.imageItem\"/>"
               "</Feature></Features>");
}

void OnDirectoryQuery(GUPnPService*, char* variable, GValue* value, gpointer data) {
  auto* s = static_cast<Device*>(data)->server;
  if (strcmp(variable, "SystemUpdateID") == 0) {
    g_value_init(value, G_TYPE_UINT);
    g_value_set_uint(value, s->systemUpdateId);
  } else if (strcmp(variable, "ContainerUpdateIDs") == 0) {
    g_value_init(value, G_TYPE_STRING);
    g_value_set_string(value, s->containerUpdateIds.c_str());
  } else if (strcmp(variable, "SearchCapabilities") == 0) {
    g_value_init(value, G_TYPE_STRING);
    g_value_set_string(value, kSearchCapabilities);
  } else if (strcmp(variable, "SortCapabilities") == 0) {
    g_value_init(value, G_TYPE_STRING);
    g_value_set_string(value, kSortCapabilities);
  }
}

// ---- ConnectionManager and registrar -----------------------------------------

std::string SourceProtocols() {
  std::string out =
      "http-get:*:audio/mpeg:" + DlnaFeatures(MediaKind::Audio, "MP3") + ",http-get:*:image/jpeg:" +
      DlnaFeatures(MediaKind::Image, "JPEG_SM") + ",http-get:*:image/jpeg:" +
      DlnaFeatures(MediaKind::Image, "JPEG_MED") + ",http-get:*:image/jpeg:" +
      DlnaFeatures(MediaKind::Image, "JPEG_LRG");
  for (const char* ext : {".mp3", ".wav", ".wma", ".aiff", ".mpg", ".mp4", ".avi", ".jpg", ".png",
                          ".gif", ".bmp", ".tiff"}) {
    std::string mime = MimeTypeOf(MediaKind::Audio, ext);
    MediaKind kind = mime.rfind("video/", 0) == 0   ? MediaKind::Video
           : mime.rfind("image/", 0) == 0 ? MediaKind::Image
                                          : MediaKind::Audio;
    if (!out.empty()) out += ',';
    out += "http-get:*:" + mime + ":" + DlnaFeatures(kind);
  }
  return out;
}

void OnProtocolInfo(GUPnPService*, GUPnPServiceAction* action, gpointer) {
  gupnp_service_action_set(action, "Source", G_TYPE_STRING, SourceProtocols().c_str(), "Sink",
                           G_TYPE_STRING, "", nullptr);
  gupnp_service_action_return_success(action);
}
void OnConnectionIds(GUPnPService*, GUPnPServiceAction* action, gpointer) {
  ReturnString(action, "ConnectionIDs", "0");
}
void OnConnectionInfo(GUPnPService*, GUPnPServiceAction* action, gpointer) {
  if (Arg(action, "ConnectionID") != "0") {
    gupnp_service_action_return_error(action, 706, "Invalid connection reference");
    return;
  }
  gupnp_service_action_set(action, "RcsID", G_TYPE_INT, -1, "AVTransportID", G_TYPE_INT, -1,
                           "ProtocolInfo", G_TYPE_STRING, "", "PeerConnectionManager",
                           G_TYPE_STRING, "", "PeerConnectionID", G_TYPE_INT, -1, "Direction",
                           G_TYPE_STRING, "Output", "Status", G_TYPE_STRING, "OK", nullptr);
  gupnp_service_action_return_success(action);
}
void OnConnectionQuery(GUPnPService*, char* variable, GValue* value, gpointer) {
  g_value_init(value, G_TYPE_STRING);
  if (strcmp(variable, "SourceProtocolInfo") == 0) g_value_set_string(value, SourceProtocols().c_str());
  else if (strcmp(variable, "CurrentConnectionIDs") == 0) g_value_set_string(value, "0");
  else g_value_set_string(value, "");
}

// Every client is welcome: answer yes to both questions.
void OnAuthorized(GUPnPService*, GUPnPServiceAction* action, gpointer) {
  gupnp_service_action_set(action, "Result", G_TYPE_INT, 1, nullptr);
  gupnp_service_action_return_success(action);
}
void OnRegister(GUPnPService*, GUPnPServiceAction* action, gpointer) {
  ReturnString(action, "RegistrationRespMsg", "");
}
void OnRegistrarQuery(GUPnPService*, char*, GValue* value, gpointer) {
  g_value_init(value, G_TYPE_UINT);
  g_value_set_uint(value, 0);
}

// ---- HTTP --------------------------------------------------------------------

struct Stream {
  int fd = -1;
  off_t offset = 0;
  uint64_t remaining = 0;
  ~Stream() {
    if (fd >= 0) close(fd);
  }
};

void FreeStream(gpointer p) { delete static_cast<Stream*>(p); }

// Appends the next chunk; ends the connection when the file came up short
// (truncated while served): the promised length can no longer be kept.
void NextChunk(SoupServerMessage* msg, Stream* s) {
  SoupMessageBody* body = soup_server_message_get_response_body(msg);
  if (s->remaining == 0) {
    soup_message_body_complete(body);
    return;
  }
  size_t want = s->remaining < kChunk ? static_cast<size_t>(s->remaining) : kChunk;
  char* buf = static_cast<char*>(g_malloc(want));
  ssize_t n = pread(s->fd, buf, want, s->offset);
  if (n <= 0) {
    g_free(buf);
    if (GSocket* socket = soup_server_message_get_socket(msg))
      g_socket_shutdown(socket, TRUE, TRUE, nullptr);
    s->remaining = 0;
    soup_message_body_complete(body);
    return;
  }
  s->offset += n;
  s->remaining -= static_cast<uint64_t>(n);
  soup_message_body_append_take(body, reinterpret_cast<guchar*>(buf), static_cast<gsize>(n));
  if (s->remaining == 0) soup_message_body_complete(body);
}

void OnWroteChunk(SoupServerMessage* msg, gpointer p) {
  auto* s = static_cast<Stream*>(p);
  if (s->remaining > 0) NextChunk(msg, s);
}

bool IsHex(std::string_view s) {
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// One byte range of a file of `size` bytes. 0: no usable Range (serve all),
// 1: satisfiable, -1: unsatisfiable.
int ParseRange(const char* header, uint64_t size, uint64_t* first, uint64_t* last) {
  if (!header) return 0;
  std::string r = header;
  if (r.compare(0, 6, "bytes=") != 0 || r.find(',') != std::string::npos) return 0;
  r = r.substr(6);
  size_t dash = r.find('-');
  if (dash == std::string::npos) return 0;
  std::string a = r.substr(0, dash), b = r.substr(dash + 1);
  auto number = [](const std::string& t, uint64_t* v) {
    if (t.empty() || t.size() > 19 || t.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *v = strtoull(t.c_str(), nullptr, 10);
    return true;
  };
  uint64_t x = 0, y = 0;
  if (a.empty()) {  // the last y bytes
    if (!number(b, &y)) return 0;
    if (y == 0 || size == 0) return -1;
    *first = y >= size ? 0 : size - y;
    *last = size - 1;
    return 1;
  }
  if (!number(a, &x)) return 0;
  if (!b.empty() && (!number(b, &y) || y < x)) return 0;
  if (x >= size) return -1;
  *first = x;
  *last = b.empty() || y >= size ? size - 1 : y;
  return 1;
}

// Whether a file request may be answered: sent to our own name (a page
// elsewhere that resolves its own name to us must not read our files), as a
// GET or a HEAD. Otherwise its refusal is set and false returned.
bool AcceptFileRequest(const Device* d, SoupServerMessage* msg, bool* head) {
  const char* host = soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "Host");
  if (!host || d->host != host) {
    soup_server_message_set_status(msg, SOUP_STATUS_FORBIDDEN, nullptr);
    return false;
  }
  const char* method = soup_server_message_get_method(msg);
  *head = strcmp(method, "HEAD") == 0;
  if (!*head && strcmp(method, "GET") != 0) {
    soup_message_headers_append(soup_server_message_get_response_headers(msg), "Allow", "GET, HEAD");
    soup_server_message_set_status(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, nullptr);
    return false;
  }
  return true;
}

void OnMedia(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer data) {
  auto* d = static_cast<Device*>(data);
  SoupMessageHeaders* request = soup_server_message_get_request_headers(msg);
  SoupMessageHeaders* response = soup_server_message_get_response_headers(msg);
  bool head = false;
  if (!AcceptFileRequest(d, msg, &head)) return;
  // "/media/" + 16 hex digits + the file's own extension, and nothing else;
  // "/subtitles/" + a video's hash + the extension of the subtitle beside it.
  std::string_view p = path ? path : "";
  bool subtitles = p.compare(0, 11, "/subtitles/") == 0;
  std::string_view prefix = subtitles ? "/subtitles/" : "/media/";
  const MediaFile* file = nullptr;
  std::shared_ptr<const Content> content = d->server->content;
  std::optional<Subtitle> subtitle;
  MediaFile subtitleFile;
  if (p.size() >= prefix.size() + 16 && p.compare(0, prefix.size(), prefix) == 0) {
    std::string_view hash = p.substr(prefix.size(), 16);
    if (IsHex(hash)) {
      file = content->FindFile(hash);
      if (file && subtitles) {
        subtitle = d->server->subtitles.Find(*file);
        if (subtitle && p.substr(prefix.size() + 16) == subtitle->extension) {
          subtitleFile = *file;
          subtitleFile.path = subtitle->path;
          file = &subtitleFile;
        } else {
          file = nullptr;
        }
      } else if (file && p.substr(prefix.size() + 16) != file->extension) {
        file = nullptr;
      }
    }
  }
  int fd = file ? OpenInsideShare(file->path, file->realRoot) : -1;
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) != 0) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  auto stream = std::make_unique<Stream>();
  stream->fd = fd;
  uint64_t size = static_cast<uint64_t>(st.st_size), first = 0, last = size ? size - 1 : 0;
  std::string mime = subtitle ? SubtitleMimeType(subtitle->extension) : MimeTypeOf(file->kind, file->extension);
  soup_message_headers_replace(response, "Content-Type", mime.c_str());
  // Televisions of one large maker ask for a video's subtitles this way.
  const char* askCaption = soup_message_headers_get_one(request, "getcaptionInfo.sec");
  if (!subtitle && file->kind == MediaKind::Video && askCaption && strcmp(askCaption, "1") == 0) {
    if (std::optional<Subtitle> beside = d->server->subtitles.Find(*file)) {
      std::string url = d->baseUrl + SubtitlePath(*file, *beside);
      soup_message_headers_replace(response, "CaptionInfo.sec", url.c_str());
    }
  }
  soup_message_headers_replace(response, "Accept-Ranges", "bytes");
  // The same profile as the file's protocolInfo in Browse, from the same cache.
  if (!subtitle) {
    std::string features = DlnaFeatures(file->kind, d->server->mediaInfo.Get(*file).profile);
    soup_message_headers_replace(response, "contentFeatures.dlna.org", features.c_str());
  }
  soup_message_headers_replace(response, "transferMode.dlna.org",
                               file->kind == MediaKind::Image || subtitle ? "Interactive" : "Streaming");
  soup_message_headers_set_encoding(response, SOUP_ENCODING_CONTENT_LENGTH);
  int range = ParseRange(soup_message_headers_get_one(request, "Range"), size, &first, &last);
  if (range < 0) {
    std::string unsatisfied = "bytes */" + std::to_string(size);
    soup_message_headers_replace(response, "Content-Range", unsatisfied.c_str());
    soup_message_headers_set_content_length(response, 0);
    soup_server_message_set_status(msg, SOUP_STATUS_REQUESTED_RANGE_NOT_SATISFIABLE, nullptr);
    return;
  }
  uint64_t length = size == 0 ? 0 : last - first + 1;
  if (range > 0) {
    char cr[96];
    snprintf(cr, sizeof cr, "bytes %llu-%llu/%llu", static_cast<unsigned long long>(first),
             static_cast<unsigned long long>(last), static_cast<unsigned long long>(size));
    soup_message_headers_replace(response, "Content-Range", cr);
    soup_server_message_set_status(msg, SOUP_STATUS_PARTIAL_CONTENT, nullptr);
  } else {
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
  }
  soup_message_headers_set_content_length(response, static_cast<goffset>(length));
  if (head || length == 0) return;
  stream->offset = static_cast<off_t>(first);
  stream->remaining = length;
  SoupMessageBody* body = soup_server_message_get_response_body(msg);
  soup_message_body_set_accumulate(body, FALSE);
  Stream* s = stream.release();
  g_object_set_data_full(G_OBJECT(msg), "tarvel-stream", s, FreeStream);
  g_signal_connect(msg, "wrote-chunk", G_CALLBACK(OnWroteChunk), s);
  NextChunk(msg, s);
}

// ---- Thumbnails -------------------------------------------------------------------

// A thumbnail being made for a paused request; back on the loop it answers
// the request, unless the client went away meanwhile.
struct PendingThumbnail {
  SoupServerMessage* msg;  // a reference of ours
  std::string jpeg;
  bool head = false;
};

void OnThumbnailRequestFinished(SoupServerMessage* msg, gpointer) {
  g_object_set_data(G_OBJECT(msg), "tarvel-finished", GINT_TO_POINTER(1));
}

void AnswerThumbnail(SoupServerMessage* msg, const std::string& jpeg, bool head) {
  SoupMessageHeaders* response = soup_server_message_get_response_headers(msg);
  if (jpeg.empty()) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  soup_message_headers_replace(response, "contentFeatures.dlna.org", kThumbnailFeatures);
  soup_message_headers_replace(response, "transferMode.dlna.org", "Interactive");
  soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
  if (head) {
    soup_message_headers_replace(response, "Content-Type", "image/jpeg");
    soup_message_headers_set_content_length(response, static_cast<goffset>(jpeg.size()));
    return;
  }
  soup_server_message_set_response(msg, "image/jpeg", SOUP_MEMORY_COPY, jpeg.data(), jpeg.size());
}

gboolean GiveThumbnail(gpointer p) {
  auto* t = static_cast<PendingThumbnail*>(p);
  if (!g_object_get_data(G_OBJECT(t->msg), "tarvel-finished")) {
    AnswerThumbnail(t->msg, t->jpeg, t->head);
    soup_server_message_unpause(t->msg);
  }
  return G_SOURCE_REMOVE;
}

void FreePendingThumbnail(gpointer p) {
  auto* t = static_cast<PendingThumbnail*>(p);
  g_signal_handlers_disconnect_by_func(t->msg, reinterpret_cast<gpointer>(OnThumbnailRequestFinished),
                                       nullptr);
  g_object_unref(t->msg);
  delete t;
}

// How the thumbnail of `file` is made from its descriptor, on a worker.
Thumbnails::Maker ThumbnailMaker(const UpnpServer::Impl* s, const MediaFile& file) {
  if (file.kind == MediaKind::Audio) return EmbeddedCoverThumbnail;
  if (file.kind == MediaKind::Video)
    return [how = s->options.videoThumbnailer](int fd) { return MakeVideoThumbnail(fd, how); };
  return [](int fd) { return MakeThumbnailFromFd(fd).jpeg; };
}

// "/thumbnails/" + a catalogued file's hash + ".jpg": the JPEG_TN of a JPEG
// picture, of a track's embedded JPEG cover or of a video's frame, from the cache or made by a
// worker while the request waits.
void OnThumbnail(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer data) {
  auto* d = static_cast<Device*>(data);
  UpnpServer::Impl* s = d->server;
  bool head = false;
  if (!AcceptFileRequest(d, msg, &head)) return;
  std::string_view p = path ? path : "";
  std::string_view prefix = "/thumbnails/";
  const MediaFile* file = nullptr;
  std::shared_ptr<const Content> content = s->content;
  if (s->ThumbnailsOn() && p.size() == prefix.size() + 20 && p.compare(0, prefix.size(), prefix) == 0) {
    std::string_view hash = p.substr(prefix.size(), 16);
    if (IsHex(hash)) file = content->FindFile(hash);
    if (file && ThumbnailPath(*file, s->mediaInfo.Get(*file)) != p) file = nullptr;
  }
  int fd = file ? OpenInsideShare(file->path, file->realRoot) : -1;
  if (fd < 0) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  if (std::optional<std::string> kept = s->thumbnails->Cached(file->hash, fd)) {
    close(fd);
    AnswerThumbnail(msg, *kept, head);
    return;
  }
  auto* pending = new PendingThumbnail{SOUP_SERVER_MESSAGE(g_object_ref(msg)), {}, head};
  g_signal_connect(msg, "finished", G_CALLBACK(OnThumbnailRequestFinished), nullptr);
  soup_server_message_pause(msg);
  GMainContext* loop = s->loop;
  bool queued = s->thumbnails->Request(file->hash, fd, ThumbnailMaker(s, *file), [pending, loop](const std::string& jpeg) {
    pending->jpeg = jpeg;
    g_main_context_invoke_full(loop, G_PRIORITY_DEFAULT, GiveThumbnail, pending, FreePendingThumbnail);
  });
  if (!queued) {
    // Too many pictures wait already: the client may ask again later.
    soup_server_message_unpause(msg);
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Retry-After", "2");
    soup_server_message_set_status(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
    FreePendingThumbnail(pending);
  }
}

// "/art/" + 16 hex digits + ".jpg" or ".png": the picture embedded in a track.
void OnArt(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer data) {
  auto* d = static_cast<Device*>(data);
  bool head = false;
  if (!AcceptFileRequest(d, msg, &head)) return;
  std::string_view p = path ? path : "";
  std::string_view prefix = "/art/";
  const MediaFile* file = nullptr;
  std::string extension;
  if (p.size() == prefix.size() + 16 + 4 && p.compare(0, prefix.size(), prefix) == 0 &&
      IsHex(p.substr(prefix.size(), 16))) {
    extension = std::string(p.substr(prefix.size() + 16));
    file = d->server->content->FindFile(p.substr(prefix.size(), 16));
  }
  if (!file || (extension != ".jpg" && extension != ".png") ||
      (file->kind != MediaKind::Audio && file->kind != MediaKind::Video)) {
    soup_server_message_set_status(msg, SOUP_STATUS_NOT_FOUND, nullptr);
    return;
  }
  d->server->art.Serve(msg, *file, extension);
}

void OnContextAvailable(GUPnPContextManager*, GUPnPContext* context, gpointer data) {
  static_cast<UpnpServer::Impl*>(data)->AddContext(context);
}
void OnContextUnavailable(GUPnPContextManager*, GUPnPContext* context, gpointer data) {
  static_cast<UpnpServer::Impl*>(data)->RemoveContext(context);
}

GPtr<GUPnPService> ServiceOf(GUPnPRootDevice* root, const char* type) {
  return GPtr<GUPnPService>(
      GUPNP_SERVICE(gupnp_device_info_get_service(GUPNP_DEVICE_INFO(root), type)));
}

}  // namespace

void UpnpServer::Impl::AddContext(GUPnPContext* context) {
  auto d = std::make_unique<Device>();
  d->server = this;
  d->context.reset(GUPNP_CONTEXT(g_object_ref(context)));
  GError* error = nullptr;
  d->root.reset(gupnp_root_device_new(context, kDeviceDescriptionFile,
                                      options.descriptionFolder.c_str(), &error));
  if (!d->root) {
    fprintf(stderr, "MediaServer: cannot create the device: %s\n", error ? error->message : "?");
    if (error) g_error_free(error);
    return;
  }
  const char* ip = gssdp_client_get_host_ip(GSSDP_CLIENT(context));
  unsigned port = gupnp_context_get_port(context);
  d->host = std::string(ip ? ip : "") + ":" + std::to_string(port);
  d->baseUrl = "http://" + d->host;
  d->directory = ServiceOf(d->root.get(), kContentDirectoryType);
  d->connections = ServiceOf(d->root.get(), kConnectionManagerType);
  d->registrar = ServiceOf(d->root.get(), kRegistrarType);
  Device* raw = d.get();
  if (GUPnPService* s = d->directory.get()) {
    g_signal_connect(s, "action-invoked::Browse", G_CALLBACK(OnBrowse), raw);
    g_signal_connect(s, "action-invoked::Search", G_CALLBACK(OnSearch), raw);
    g_signal_connect(s, "action-invoked::GetSearchCapabilities", G_CALLBACK(OnSearchCaps), raw);
    g_signal_connect(s, "action-invoked::GetSortCapabilities", G_CALLBACK(OnSortCaps), raw);
    g_signal_connect(s, "action-invoked::GetSystemUpdateID", G_CALLBACK(OnSystemUpdateId), raw);
    g_signal_connect(s, "action-invoked::X_GetFeatureList", G_CALLBACK(OnFeatureList), raw);
    g_signal_connect(s, "query-variable", G_CALLBACK(OnDirectoryQuery), raw);
  }
  if (GUPnPService* s = d->connections.get()) {
    g_signal_connect(s, "action-invoked::GetProtocolInfo", G_CALLBACK(OnProtocolInfo), raw);
    g_signal_connect(s, "action-invoked::GetCurrentConnectionIDs", G_CALLBACK(OnConnectionIds), raw);
    g_signal_connect(s, "action-invoked::GetCurrentConnectionInfo", G_CALLBACK(OnConnectionInfo), raw);
    g_signal_connect(s, "query-variable", G_CALLBACK(OnConnectionQuery), raw);
  }
  if (GUPnPService* s = d->registrar.get()) {
    g_signal_connect(s, "action-invoked::IsAuthorized", G_CALLBACK(OnAuthorized), raw);
    g_signal_connect(s, "action-invoked::IsValidated", G_CALLBACK(OnAuthorized), raw);
    g_signal_connect(s, "action-invoked::RegisterDevice", G_CALLBACK(OnRegister), raw);
    g_signal_connect(s, "query-variable", G_CALLBACK(OnRegistrarQuery), raw);
  }
  soup_server_add_handler(gupnp_context_get_server(context), "/media/", OnMedia, raw, nullptr);
  soup_server_add_handler(gupnp_context_get_server(context), "/thumbnails/", OnThumbnail, raw, nullptr);
  soup_server_add_handler(gupnp_context_get_server(context), "/subtitles/", OnMedia, raw, nullptr);
  soup_server_add_handler(gupnp_context_get_server(context), "/art/", OnArt, raw, nullptr);
  d->guard = std::make_unique<ConnectionGuard>(gupnp_context_get_server(context), ConnectionLimits{},
                                               options.onStuck);
  gupnp_root_device_set_available(d->root.get(), TRUE);
  fprintf(stderr, "MediaServer: published on %s (%s)\n", d->baseUrl.c_str(),
          gssdp_client_get_interface(GSSDP_CLIENT(context)));
  devices.push_back(std::move(d));
}

void UpnpServer::Impl::RemoveContext(GUPnPContext* context) {
  for (auto it = devices.begin(); it != devices.end(); ++it) {
    if ((*it)->context.get() != context) continue;
    (*it)->guard.reset();
    soup_server_remove_handler(gupnp_context_get_server(context), "/media/");
    soup_server_remove_handler(gupnp_context_get_server(context), "/thumbnails/");
    soup_server_remove_handler(gupnp_context_get_server(context), "/subtitles/");
    devices.erase(it);
    return;
  }
}

UpnpServer::UpnpServer(UpnpOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->loop = g_main_context_ref_thread_default();
  if (!impl_->options.thumbnailFolder.empty())
    impl_->thumbnails =
        std::make_unique<Thumbnails>(impl_->options.thumbnailFolder, impl_->options.thumbnailBytes);
  // Starts high and moves up: clients that cached an older run's value refresh.
  impl_->systemUpdateId = static_cast<unsigned>(time(nullptr) - 1700000000);
  impl_->manager.reset(gupnp_context_manager_create_full(
      GSSDP_UDA_VERSION_1_0, G_SOCKET_FAMILY_IPV4, impl_->options.port));
  if (!impl_->options.interface.empty()) {
    GUPnPContextFilter* filter = gupnp_context_manager_get_context_filter(impl_->manager.get());
    gupnp_context_filter_add_entry(filter, impl_->options.interface.c_str());
    gupnp_context_filter_set_enabled(filter, TRUE);
  }
  g_signal_connect(impl_->manager.get(), "context-available", G_CALLBACK(OnContextAvailable),
                   impl_.get());
  g_signal_connect(impl_->manager.get(), "context-unavailable", G_CALLBACK(OnContextUnavailable),
                   impl_.get());
}

UpnpServer::~UpnpServer() {
  Withdraw();
  g_signal_handlers_disconnect_by_data(impl_->manager.get(), impl_.get());
  impl_->devices.clear();
  impl_->manager.reset();
  // Answers still on their way find no request to give to; their references go.
  impl_->thumbnails.reset();
  for (int i = 0; i < 1000 && g_main_context_iteration(impl_->loop, FALSE); ++i) {
  }
  g_main_context_unref(impl_->loop);
}

void UpnpServer::SetContent(std::shared_ptr<const Content> content) {
  std::vector<std::string> changed = content->ChangedContainers(*impl_->content);
  impl_->content = std::move(content);
  impl_->folderArt = std::make_unique<FolderArt>(*impl_->content);
  impl_->mediaInfo.Prepare(*impl_->content);
  // Thumbnails of files that are gone go too (on a worker).
  if (impl_->ThumbnailsOn()) {
    std::unordered_set<std::string> live;
    for (const MediaFile& f : impl_->content->Files())
      if (MayHaveThumbnail(f)) live.insert(f.hash);
    impl_->thumbnails->Retain(std::move(live));
  }
  if (changed.empty()) return;
  unsigned id = ++impl_->systemUpdateId;
  std::string ids;
  for (size_t i = 0; i < changed.size() && i < kMaxContainerUpdates; ++i) {
    if (!ids.empty()) ids += ',';
    ids += changed[i] + "," + std::to_string(id);
  }
  impl_->containerUpdateIds = ids;
  for (auto& d : impl_->devices)
    if (d->directory)
      gupnp_service_notify(d->directory.get(), "SystemUpdateID", G_TYPE_UINT, id,
                           "ContainerUpdateIDs", G_TYPE_STRING, ids.c_str(), nullptr);
}

void UpnpServer::Withdraw() {
  bool any = false;
  for (auto& d : impl_->devices) {
    if (d->root && gupnp_root_device_get_available(d->root.get())) {
      // One goodbye a resource, six in all: at the usual 120 ms apart the
      // last ones (the device's own) would still be queued when we end.
      gssdp_resource_group_set_message_delay(
          gupnp_root_device_get_ssdp_resource_group(d->root.get()), kGoodbyeSpacingMs);
      gupnp_root_device_set_available(d->root.get(), FALSE);
      any = true;
    }
  }
  if (!any) return;
  // The goodbyes leave from the loop; give them time to go out.
  gint64 end = g_get_monotonic_time() + 300 * 1000;
  while (g_get_monotonic_time() < end)
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(5000);
}

int UpnpServer::DeviceCount() const { return static_cast<int>(impl_->devices.size()); }
