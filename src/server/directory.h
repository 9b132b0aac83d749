// The ContentDirectory's answers: Browse and Search over a content tree, as
// DIDL-Lite, with the UPnP error codes for bad requests. Free of the network
// library, so every answer can be checked without a network.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "server/content.h"
#include "server/subtitles.h"

// What has been read from a file's own bytes (playing time, DLNA profile).
using MediaInfoOf = std::function<MediaInfo(const MediaFile&)>;
// The subtitle file beside a video, if any.
using SubtitleOf = std::function<std::optional<Subtitle>(const MediaFile&)>;
// The picture that stands for a file, given what was read of it.
struct Art {
  std::string elements;   // its upnp:albumArtURI elements, "" for none
  std::string thumbnail;  // the URL of its JPEG_TN, "" for none
};
using ArtOf = std::function<Art(const MediaFile&, const MediaInfo&)>;

struct DirectoryAnswer {
  int error = 0;  // a UPnP error code, 0 on success
  std::string message;
  std::string result;  // DIDL-Lite
  unsigned returned = 0, total = 0;
};

// One piece of a parsed search criteria string, in the order it was written.
struct SearchToken {
  enum Kind { Expression, And, Or, Open, Close } kind = Expression;
  enum Op { Eq, Neq, Less, LessEq, Greater, GreaterEq, Contains, DoesNotContain, DerivedFrom, Exists };
  std::string property;
  Op op = Eq;
  std::string value;  // "true"/"false" for Exists
};

inline constexpr const char* kSortCapabilities = "dc:title,upnp:artist,upnp:album,upnp:genre";
inline constexpr const char* kSearchCapabilities =
    "@id,@parentID,@refID,upnp:class,dc:title,dc:creator,upnp:artist,upnp:album,upnp:genre";
// RequestedCount 0 asks for everything; one answer holds at most this many.
inline constexpr unsigned kMaxPage = 5000;

struct PagingArgs {
  std::string start, count, sort;
};

// `thumbnails`: pictures, videos and covers are offered with their JPEG_TN (see ThumbnailPath).
DirectoryAnswer Browse(const Content& content, const std::string& baseUrl,
                       const std::string& objectId, const std::string& flag,
                       const PagingArgs& paging, const MediaInfoOf& infoOf = {},
                       const ArtOf& artOf = {}, bool thumbnails = false,
                       const SubtitleOf& subtitleOf = {});

// Bounds of a search criteria string, checked before it is parsed: the
// parser and the evaluator both go one level deeper per parenthesis.
inline constexpr size_t kMaxSearchCriteria = 64 * 1024;
inline constexpr int kMaxSearchDepth = 32;
// False when the criteria are too long, nested too deep or their
// parentheses (outside quoted strings) do not pair up.
bool SearchCriteriaFit(const std::string& criteria);

// `tokens` come from the search criteria parser; "*" arrives as no tokens.
DirectoryAnswer Search(const Content& content, const std::string& baseUrl,
                       const std::string& containerId, const std::vector<SearchToken>& tokens,
                       const PagingArgs& paging, const MediaInfoOf& infoOf = {},
                       const ArtOf& artOf = {}, bool thumbnails = false,
                       const SubtitleOf& subtitleOf = {});

// Text made safe for XML 1.0: invalid UTF-8 replaced, forbidden characters
// dropped, markup characters escaped (once).
std::string XmlEscape(const std::string& text);
// The same, appended to `out`.
void AppendXmlEscaped(std::string* out, std::string_view text);

// The URL path under which a file is served: "/media/<hash><extension>".
std::string MediaPath(const MediaFile& file);

// The URL path of a file's JPEG_TN thumbnail, "/thumbnails/<hash>.jpg", given
// what was read of it; "" for a file that has none. JPEG pictures have one,
// tracks whose embedded picture is a JPEG, and videos with a picture.
std::string ThumbnailPath(const MediaFile& file, const MediaInfo& info = {});
// Whether `file` may have a thumbnail, whatever is read of it.
bool MayHaveThumbnail(const MediaFile& file);
// The fourth field of a thumbnail's protocolInfo, also its contentFeatures.
inline constexpr const char* kThumbnailFeatures =
    "DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=00F00000000000000000000000000000";
