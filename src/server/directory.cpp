#include "server/directory.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "server/media_info.h"

namespace {

constexpr int kInvalidArgs = 402;
constexpr int kNoSuchObject = 701;
constexpr int kInvalidSearch = 708;
constexpr int kInvalidSort = 709;
constexpr int kNoSuchContainer = 710;

constexpr const char* kDidlOpen =
    "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\""
    " xmlns:dc=\"http://purl.org/dc/elements/1.1/\""
    " xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\""
    " xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\">";
constexpr const char* kDidlClose = "</DIDL-Lite>";

// A non-negative decimal that fits 32 bits; false for anything else.
bool ParseUnsigned(const std::string& text, unsigned* out) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  unsigned long long v = strtoull(text.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull) return false;
  *out = static_cast<unsigned>(v);
  return true;
}

const char* ItemClass(MediaKind kind) {
  switch (kind) {
    case MediaKind::Audio: return "object.item.audioItem.musicTrack";
    case MediaKind::Video: return "object.item.videoItem";
    case MediaKind::Image: return "object.item.imageItem.photo";
    default: return "object.item.audioItem.audioBroadcast";
  }
}

void Element(std::string* out, const char* name, const std::string& value) {
  if (value.empty()) return;
  *out += '<';
  *out += name;
  *out += '>';
  AppendXmlEscaped(out, value);
  *out += "</";
  *out += name;
  *out += '>';
}

// Albums, artists and folders show the picture of their first track that has
// one; the look stops after a few hundred tracks without.
std::string ContainerArt(const Content& content, const Container& c, const MediaInfoOf& infoOf,
                         const ArtOf& artOf) {
  constexpr size_t kMaxLooked = 256;
  if (!artOf || !infoOf) return "";
  bool shows = strcmp(c.upnpClass, "object.container.album.musicAlbum") == 0 ||
               strcmp(c.upnpClass, "object.container.person.musicArtist") == 0 ||
               c.id.rfind("folders/", 0) == 0;
  if (!shows) return "";
  for (size_t i = 0; i < c.items.size() && i < kMaxLooked; ++i) {
    const MediaFile& f = content.Files()[c.items[i]];
    if (f.kind != MediaKind::Audio) continue;
    std::string art = artOf(f, infoOf(f)).elements;
    if (!art.empty()) return art;
  }
  return "";
}

void WriteContainer(std::string* out, const Container& c, const std::string& art = "") {
  *out += "<container id=\"";
  AppendXmlEscaped(out, c.id);
  *out += "\" parentID=\"";
  AppendXmlEscaped(out, c.parentId);
  *out += "\" restricted=\"1\" searchable=\"1\" childCount=\"";
  *out += std::to_string(c.ChildCount());
  *out += "\">";
  Element(out, "dc:title", c.title);
  Element(out, "upnp:class", c.upnpClass);
  *out += art;
  // Required of storage folders by strict parsers; -1 says "not known".
  if (strcmp(c.upnpClass, "object.container.storageFolder") == 0)
    *out += "<upnp:storageUsed>-1</upnp:storageUsed>";
  *out += "</container>";
}

void WriteItem(std::string* out, const MediaFile& f, const std::string& id,
               const std::string& parentId, const std::string& baseUrl,
               const MediaInfoOf& infoOf, const ArtOf& artOf, bool thumbnails,
               const SubtitleOf& subtitleOf) {
  *out += "<item id=\"";
  AppendXmlEscaped(out, id);
  *out += "\" parentID=\"";
  AppendXmlEscaped(out, parentId);
  *out += "\" restricted=\"1\">";
  MediaInfo info = infoOf ? infoOf(f) : MediaInfo{};
  ShownTexts texts = TextsOf(f, info);
  Element(out, "dc:title", texts.title);
  Element(out, "upnp:class", ItemClass(f.kind));
  if (f.kind == MediaKind::Audio) {
    Element(out, "upnp:artist", texts.artist);
    Element(out, "dc:creator", texts.artist);
    Element(out, "upnp:album", texts.album);
  }
  Element(out, "upnp:genre", texts.genre);
  // A picture's or a video's own thumbnail comes first; a track's is that of
  // its cover, which the art gives.
  std::string thumbnail = thumbnails && f.kind != MediaKind::Audio ? ThumbnailPath(f, info) : "";
  if (!thumbnail.empty()) {
    thumbnail = XmlEscape(baseUrl + thumbnail);
    *out += "<upnp:albumArtURI dlna:profileID=\"JPEG_TN\">" + thumbnail + "</upnp:albumArtURI>";
  }
  if (artOf) {
    Art art = artOf(f, info);
    *out += art.elements;
    if (thumbnail.empty() && !art.thumbnail.empty()) thumbnail = XmlEscape(art.thumbnail);
  }
  std::optional<Subtitle> subtitle = subtitleOf && f.kind == MediaKind::Video ? subtitleOf(f) : std::nullopt;
  std::string subtitleUrl = subtitle ? XmlEscape(baseUrl + SubtitlePath(f, *subtitle)) : "";
  if (subtitle)
    *out += "<sec:CaptionInfoEx xmlns:sec=\"http://www.sec.co.kr/\" sec:type=\"" +
            SubtitleType(subtitle->extension) + "\">" + subtitleUrl + "</sec:CaptionInfoEx>";
  std::string mime = f.kind == MediaKind::Broadcast ? "audio/mpeg" : MimeTypeOf(f.kind, f.extension);
  *out += "<res protocolInfo=\"http-get:*:";
  *out += mime;
  *out += ':';
  AppendDlnaFeatures(out, f.kind, info.profile);
  *out += '"';
  if (f.kind != MediaKind::Broadcast) {
    *out += " size=\"";
    *out += std::to_string(f.size);
    *out += '"';
    *out += ResDetails(info);
    *out += '>';
    AppendXmlEscaped(out, baseUrl);
    AppendXmlEscaped(out, MediaPath(f));
  } else {
    *out += '>';
    AppendXmlEscaped(out, f.path);
  }
  *out += "</res>";
  // The file itself comes first: clients that take one res take that.
  if (!thumbnail.empty())
    *out += std::string("<res protocolInfo=\"http-get:*:image/jpeg:") + kThumbnailFeatures + "\">" +
            thumbnail + "</res>";
  if (subtitle)
    *out += std::string("<res protocolInfo=\"http-get:*:") + SubtitleMimeType(subtitle->extension) +
            ":*\">" + subtitleUrl + "</res>";
  *out += "</item>";
}

// A child of a container: a sub-container (by id) or an item (by index).
struct Child {
  const Container* container = nullptr;
  uint32_t item = 0;
};

struct SortKey {
  enum Field { Title, Artist, Album, Genre };
  Field field = Title;
  bool ascending = true;
};

bool ParseSort(const std::string& text, std::vector<SortKey>* keys) {
  size_t from = 0;
  while (from <= text.size()) {
    size_t comma = text.find(',', from);
    std::string part = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    while (!part.empty() && part.front() == ' ') part.erase(0, 1);
    while (!part.empty() && part.back() == ' ') part.pop_back();
    if (!part.empty()) {
      SortKey key;
      if (part[0] == '+' || part[0] == '-') {
        key.ascending = part[0] == '+';
        part.erase(0, 1);
      }
      static const char* kAllowed[] = {"dc:title", "upnp:artist", "upnp:album", "upnp:genre"};
      if (std::none_of(std::begin(kAllowed), std::end(kAllowed),
                       [&](const char* p) { return part == p; }))
        return false;
      key.field = part == "dc:title"      ? SortKey::Title
                  : part == "upnp:artist" ? SortKey::Artist
                  : part == "upnp:album"  ? SortKey::Album
                                          : SortKey::Genre;
      keys->push_back(key);
    }
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  return true;
}

const std::string& SortValue(const Content& content, const Child& c, SortKey::Field field) {
  static const std::string kEmpty;
  if (c.container) return field == SortKey::Title ? c.container->title : kEmpty;
  const MediaFile& f = content.Files()[c.item];
  switch (field) {
    case SortKey::Title: return f.title;
    case SortKey::Artist: return f.artist;
    case SortKey::Album: return f.album;
    case SortKey::Genre: return f.genre;
  }
  return kEmpty;
}

void SortChildren(const Content& content, std::vector<Child>* children,
                  const std::vector<SortKey>& keys) {
  if (keys.empty()) return;
  auto before = [&](const Child& a, const Child& b) {
    // Containers stay ahead of items.
    if ((a.container != nullptr) != (b.container != nullptr)) return a.container != nullptr;
    for (const SortKey& k : keys) {
      int c = SortValue(content, a, k.field).compare(SortValue(content, b, k.field));
      if (c != 0) return k.ascending ? c < 0 : c > 0;
    }
    return false;
  };
  // Items are kept in title order, the order asked for most: one pass tells
  // that a stable sort would change nothing, and a page costs no sort.
  if (!std::is_sorted(children->begin(), children->end(), before))
    std::stable_sort(children->begin(), children->end(), before);
}

bool Paging(const PagingArgs& args, unsigned* start, unsigned* count, std::vector<SortKey>* keys,
            DirectoryAnswer* answer) {
  if (!ParseUnsigned(args.start, start) || !ParseUnsigned(args.count, count)) {
    answer->error = kInvalidArgs;
    answer->message = "Invalid StartingIndex or RequestedCount";
    return false;
  }
  if (*count == 0 || *count > kMaxPage) *count = kMaxPage;
  if (!ParseSort(args.sort, keys)) {
    answer->error = kInvalidSort;
    answer->message = "Unsupported or invalid sort criteria";
    return false;
  }
  return true;
}

// --- search -----------------------------------------------------------------

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The values of a property on an item; false when the item has no such property.
bool PropertyOf(const Content& content, uint32_t index, const std::string& property,
                std::string* value) {
  const MediaFile& f = content.Files()[index];
  if (property == "upnp:class") *value = ItemClass(f.kind);
  else if (property == "dc:title") *value = f.title;
  else if (property == "upnp:artist" || property == "dc:creator") *value = f.artist;
  else if (property == "upnp:album") *value = f.album;
  else if (property == "upnp:genre") *value = f.genre;
  else if (property == "@id") *value = content.CanonicalItemId(index);
  else if (property == "@parentID") {
    std::string id = content.CanonicalItemId(index);
    *value = id.substr(0, id.rfind(':'));
  } else return false;  // @refID among them: our items are never references
  return !value->empty() || property == "dc:title";
}

bool Matches(const Content& content, uint32_t index, const SearchToken& t) {
  std::string value;
  bool has = PropertyOf(content, index, t.property, &value);
  if (t.op == SearchToken::Exists) return has == (Lower(t.value) == "true");
  if (!has) return t.op == SearchToken::Neq || t.op == SearchToken::DoesNotContain;
  std::string a = Lower(value), b = Lower(t.value);
  switch (t.op) {
    case SearchToken::Eq: return a == b;
    case SearchToken::Neq: return a != b;
    case SearchToken::Less: return a < b;
    case SearchToken::LessEq: return a <= b;
    case SearchToken::Greater: return a > b;
    case SearchToken::GreaterEq: return a >= b;
    case SearchToken::Contains: return a.find(b) != std::string::npos;
    case SearchToken::DoesNotContain: return a.find(b) == std::string::npos;
    case SearchToken::DerivedFrom:
      return a == b || (a.size() > b.size() && a.compare(0, b.size(), b) == 0 && a[b.size()] == '.');
    default: return false;
  }
}

// or-expression := and-expression ("or" and-expression)*; "and" binds tighter.
class Evaluator {
 public:
  Evaluator(const Content& c, const std::vector<SearchToken>& t) : content_(c), tokens_(t) {}
  bool Valid() {
    // The parse below recurses once per parenthesis: bound it first.
    int depth = 0;
    for (const SearchToken& t : tokens_) {
      if (t.kind == SearchToken::Open && ++depth > kMaxSearchDepth) return false;
      if (t.kind == SearchToken::Close && --depth < 0) return false;
    }
    pos_ = 0;
    ok_ = true;
    Or(0, false);
    return ok_ && pos_ == tokens_.size();
  }
  bool Test(uint32_t index) {
    pos_ = 0;
    ok_ = true;
    return Or(index, true);
  }

 private:
  bool Or(uint32_t i, bool eval) {
    bool v = And(i, eval);
    while (ok_ && pos_ < tokens_.size() && tokens_[pos_].kind == SearchToken::Or) {
      ++pos_;
      bool r = And(i, eval && !v);
      v = v || r;
    }
    return v;
  }
  bool And(uint32_t i, bool eval) {
    bool v = Primary(i, eval);
    while (ok_ && pos_ < tokens_.size() && tokens_[pos_].kind == SearchToken::And) {
      ++pos_;
      bool r = Primary(i, eval && v);
      v = v && r;
    }
    return v;
  }
  bool Primary(uint32_t i, bool eval) {
    if (pos_ >= tokens_.size()) return ok_ = false;
    const SearchToken& t = tokens_[pos_++];
    if (t.kind == SearchToken::Expression) return eval && Matches(content_, i, t);
    if (t.kind != SearchToken::Open) return ok_ = false;
    bool v = Or(i, eval);
    if (pos_ >= tokens_.size() || tokens_[pos_].kind != SearchToken::Close) return ok_ = false;
    ++pos_;
    return v;
  }

  const Content& content_;
  const std::vector<SearchToken>& tokens_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace

void AppendXmlEscaped(std::string* out, std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    // Plain characters go in runs: most texts are nothing else.
    size_t run = i;
    while (run < n && s[run] >= 0x20 && s[run] < 0x80 && s[run] != '&' && s[run] != '<' &&
           s[run] != '>' && s[run] != '"' && s[run] != '\'')
      ++run;
    out->append(text.data() + i, run - i);
    i = run;
    if (i == n) break;
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '&': *out += "&amp;"; break;
        case '<': *out += "&lt;"; break;
        case '>': *out += "&gt;"; break;
        case '"': *out += "&quot;"; break;
        case '\'': *out += "&apos;"; break;
        default:
          // XML 1.0 allows tab, line feed and carriage return of the controls.
          if (c == '\t' || c == '\n' || c == '\r') *out += static_cast<char>(c);
      }
      continue;
    }
    // One UTF-8 sequence, checked completely; anything else becomes U+FFFD.
    int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    uint32_t cp = len == 4 ? c & 0x07 : len == 3 ? c & 0x0F : c & 0x1F;
    bool valid = len > 0 && i + len <= n;
    for (int k = 1; valid && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (valid) {
      valid = !(len == 3 && cp < 0x800) && !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) &&
              !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF;
    }
    if (valid) {
      out->append(text.data() + i, len);
      i += len;
    } else {
      *out += "\xEF\xBF\xBD";
      ++i;
    }
  }
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  AppendXmlEscaped(&out, text);
  return out;
}

bool SearchCriteriaFit(const std::string& criteria) {
  if (criteria.size() > kMaxSearchCriteria) return false;
  int depth = 0;
  bool quoted = false;
  for (size_t i = 0; i < criteria.size(); ++i) {
    char c = criteria[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      if (++depth > kMaxSearchDepth) return false;
    } else if (c == ')') {
      if (--depth < 0) return false;
    }
  }
  return depth == 0 && !quoted;
}

std::string MediaPath(const MediaFile& file) { return "/media/" + file.hash + file.extension; }

bool MayHaveThumbnail(const MediaFile& file) {
  switch (file.kind) {
    case MediaKind::Image: return file.extension == ".jpg" || file.extension == ".jpeg";
    case MediaKind::Audio: case MediaKind::Video: return true;
    default: return false;
  }
}

std::string ThumbnailPath(const MediaFile& file, const MediaInfo& info) {
  bool has = file.kind == MediaKind::Image   ? MayHaveThumbnail(file)
             : file.kind == MediaKind::Audio ? info.artJpeg
             : file.kind == MediaKind::Video ? info.width > 0 && info.height > 0
             : false;
  return has ? "/thumbnails/" + file.hash + ".jpg" : "";
}

DirectoryAnswer Browse(const Content& content, const std::string& baseUrl,
                       const std::string& objectId, const std::string& flag,
                       const PagingArgs& paging, const MediaInfoOf& infoOf, const ArtOf& artOf,
                       bool thumbnails, const SubtitleOf& subtitleOf) {
  DirectoryAnswer a;
  unsigned start = 0, count = 0;
  std::vector<SortKey> keys;
  if (flag != "BrowseMetadata" && flag != "BrowseDirectChildren") {
    a.error = kInvalidArgs;
    a.message = "Invalid BrowseFlag";
    return a;
  }
  if (!Paging(paging, &start, &count, &keys, &a)) return a;
  const Container* container = content.FindContainer(objectId);
  const Container* parent = nullptr;
  const MediaFile* item = container ? nullptr : content.FindItem(objectId, &parent);
  if (!container && !item) {
    a.error = kNoSuchObject;
    a.message = "No such object";
    return a;
  }
  a.result = kDidlOpen;
  if (flag == "BrowseMetadata") {
    if (container) WriteContainer(&a.result, *container, ContainerArt(content, *container, infoOf, artOf));
    else WriteItem(&a.result, *item, objectId, parent->id, baseUrl, infoOf, artOf, thumbnails, subtitleOf);
    a.result += kDidlClose;
    a.returned = a.total = 1;
    return a;
  }
  if (!container) {
    a.error = kNoSuchContainer;
    a.message = "Not a container";
    a.result.clear();
    return a;
  }
  a.total = static_cast<unsigned>(container->ChildCount());
  // About what an item takes, so that a page is not copied as it grows.
  constexpr size_t kItemBytes = 768;
  a.result.reserve(a.result.size() + std::min<size_t>(count, a.total > start ? a.total - start : 0) * kItemBytes);
  bool byTitle = keys.size() == 1 && keys[0].field == SortKey::Title && keys[0].ascending;
  if (keys.empty() || (byTitle && container->byTitle)) {
    // The stored order: no copying of the children.
    std::string id;
    size_t nc = container->containers.size();
    for (size_t i = start; i < a.total && a.returned < count; ++i, ++a.returned) {
      if (i < nc) {
        if (const Container* c = content.FindContainer(container->containers[i]))
          WriteContainer(&a.result, *c, ContainerArt(content, *c, infoOf, artOf));
      } else {
        const MediaFile& f = content.Files()[container->items[i - nc]];
        id.assign(container->id).append(1, ':').append(f.hash);
        WriteItem(&a.result, f, id, container->id, baseUrl, infoOf, artOf, thumbnails, subtitleOf);
      }
    }
  } else {
    std::vector<Child> children;
    std::string id;
    children.reserve(a.total);
    for (const auto& id : container->containers)
      if (const Container* c = content.FindContainer(id)) children.push_back({c, 0});
    for (uint32_t i : container->items) children.push_back({nullptr, i});
    SortChildren(content, &children, keys);
    for (size_t i = start; i < children.size() && a.returned < count; ++i, ++a.returned) {
      if (children[i].container) {
        WriteContainer(&a.result, *children[i].container,
                       ContainerArt(content, *children[i].container, infoOf, artOf));
      } else {
        const MediaFile& f = content.Files()[children[i].item];
        id.assign(container->id).append(1, ':').append(f.hash);
        WriteItem(&a.result, f, id, container->id, baseUrl, infoOf, artOf, thumbnails, subtitleOf);
      }
    }
  }
  a.result += kDidlClose;
  return a;
}

DirectoryAnswer Search(const Content& content, const std::string& baseUrl,
                       const std::string& containerId, const std::vector<SearchToken>& tokens,
                       const PagingArgs& paging, const MediaInfoOf& infoOf, const ArtOf& artOf,
                       bool thumbnails, const SubtitleOf& subtitleOf) {
  DirectoryAnswer a;
  unsigned start = 0, count = 0;
  std::vector<SortKey> keys;
  if (!Paging(paging, &start, &count, &keys, &a)) return a;
  const Container* container = content.FindContainer(containerId);
  if (!container) {
    a.error = content.FindItem(containerId) ? kNoSuchContainer : kNoSuchObject;
    a.message = "No such container";
    return a;
  }
  Evaluator evaluator(content, tokens);
  if (!tokens.empty() && !evaluator.Valid()) {
    a.error = kInvalidSearch;
    a.message = "Invalid search criteria";
    return a;
  }
  std::vector<Child> found;
  for (uint32_t i : content.ItemsBelow(*container))
    if (tokens.empty() || evaluator.Test(i)) found.push_back({nullptr, i});
  SortChildren(content, &found, keys);
  a.total = static_cast<unsigned>(found.size());
  a.result = kDidlOpen;
  for (size_t i = start; i < found.size() && a.returned < count; ++i, ++a.returned) {
    uint32_t index = found[i].item;
    std::string id = content.CanonicalItemId(index);
    WriteItem(&a.result, content.Files()[index], id, id.substr(0, id.rfind(':')), baseUrl,
              infoOf, artOf, thumbnails, subtitleOf);
  }
  a.result += kDidlClose;
  return a;
}
