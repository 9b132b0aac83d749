#include "scan/tag_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tdebuglistener.h>
#include <taglib/tfilestream.h>
#include <taglib/textidentificationframe.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>
#include <vector>

#include "catalog/text.h"
#include "scan/genres.h"

namespace {

// A compressed frame may inflate to at most this much; beyond it counts as absent.
constexpr size_t kMaxInflatedFrame = 1 << 20;
// A larger ID3v2 tag is not read at all.
constexpr size_t kMaxTagSize = 16 << 20;

// TagLib reports damaged tags on standard error; a scan must stay quiet.
class SilentListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

void SilenceTagLib() {
  static SilentListener listener;
  static bool once = (TagLib::setDebugListener(&listener), true);
  (void)once;
}

uint32_t Syncsafe(const unsigned char* p) {
  return (uint32_t(p[0] & 0x7F) << 21) | (uint32_t(p[1] & 0x7F) << 14) |
         (uint32_t(p[2] & 0x7F) << 7) | uint32_t(p[3] & 0x7F);
}
uint32_t Be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Undoes unsynchronisation: drops the 00 stuffed after every FF.
std::string UndoUnsync(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    out += in[i];
    if (static_cast<unsigned char>(in[i]) == 0xFF && i + 1 < in.size() && in[i + 1] == '\0') ++i;
  }
  return out;
}

// Unsynchronises: a 00 after every FF, which UndoUnsync takes out again.
std::string Unsync(const std::string& in) {
  std::string out;
  out.reserve(in.size() + 8);
  for (char c : in) {
    out += c;
    if (static_cast<unsigned char>(c) == 0xFF) out += '\0';
  }
  return out;
}

std::string SyncsafeBytes(size_t v) {
  return {static_cast<char>((v >> 21) & 0x7F), static_cast<char>((v >> 14) & 0x7F),
          static_cast<char>((v >> 7) & 0x7F), static_cast<char>(v & 0x7F)};
}

// True when zlib data inflates completely within the limit.
bool InflatesWithin(const std::string& data, size_t limit) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  std::vector<unsigned char> buf(64 * 1024);
  size_t total = 0;
  int rc;
  do {
    zs.next_out = buf.data();
    zs.avail_out = static_cast<uInt>(buf.size());
    rc = inflate(&zs, Z_NO_FLUSH);
    total += buf.size() - zs.avail_out;
    if (total > limit) break;
  } while (rc == Z_OK);
  inflateEnd(&zs);
  return rc == Z_STREAM_END && total <= limit;
}

bool ReadAt(int fd, off_t offset, size_t n, std::string* out) {
  out->assign(n, '\0');
  size_t got = 0;
  while (got < n) {
    ssize_t r = pread(fd, out->data() + got, n - got, offset + static_cast<off_t>(got));
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out->resize(got);
  return got == n;
}

// The first bytes of a file, read at once: most tags lie within them, and
// every read is a system call.
constexpr size_t kHeadRead = 8192;

// `n` bytes at `offset`: from `head` (the file's first bytes) when they lie in
// it, from the file otherwise.
bool ReadAt(int fd, const std::string& head, size_t offset, size_t n, std::string* out) {
  if (offset <= head.size() && n <= head.size() - offset) {
    out->assign(head, offset, n);
    return true;
  }
  return ReadAt(fd, static_cast<off_t>(offset), n, out);
}

// What the guard decided about a file's ID3v2 tag.
struct TagPlan {
  bool safe = true;          // hand the file to TagLib as it is
  std::string rewrittenTag;  // otherwise: the tag to use in its place ("" = none)
  size_t tagLength = 0;      // bytes of the original tag at the start of the file
  std::string wholeTag;      // a safe tag read whole (its tagLength bytes), or ""
  std::string head;          // the file's first bytes, as read
};

bool IsIdChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Four identifier characters at `pos` of `data`: how TagLib tells whether a
// frame follows.
bool IdAt(const std::string& data, size_t pos) {
  if (pos > data.size() || data.size() - pos < 4) return false;
  for (size_t i = 0; i < 4; ++i)
    if (!IsIdChar(data[pos + i])) return false;
  return true;
}

// A frame identifier TagLib reads: three (2.2) or four capitals or digits; in
// 2.3 also three and a NUL, as some taggers store 2.2 frames there.
bool ValidId(std::string_view id, int major) {
  const int n = major == 2 ? 3 : 4;
  for (int i = 0; i < n; ++i)
    if (!IsIdChar(id[i])) return major == 3 && i == 3 && id[3] == '\0';
  return true;
}

// Gives each value of a UTF-16 text (a frame body after its encoding byte)
// that has no byte-order mark one; TagLib reads such a value as empty.
// Little-endian, as the encoders that leave the mark out write it, unless the
// value plainly shows big-endian (more 00 xx than xx 00 pairs); a value that
// shows neither follows the value before it. False when no mark was missing.
bool AddByteOrderMarks(std::string* text) {
  const std::string& in = *text;
  std::string out;
  bool added = false, bigEndian = false;
  size_t start = 0;
  for (;;) {
    // Values are separated by a 00 00 pair at an even offset.
    size_t end = start;
    while (end + 1 < in.size() && (in[end] != '\0' || in[end + 1] != '\0')) end += 2;
    const bool last = end + 1 >= in.size();
    if (last) end = in.size();
    const std::string_view value = std::string_view(in).substr(start, end - start);
    const bool marked = value.size() >= 2 && ((value[0] == '\xFF' && value[1] == '\xFE') ||
                                              (value[0] == '\xFE' && value[1] == '\xFF'));
    if (marked) {
      bigEndian = value[0] == '\xFE';
    } else if (value.size() >= 2) {
      int be = 0, le = 0;
      for (size_t i = 0; i + 1 < value.size(); i += 2) {
        be += value[i] == '\0' && value[i + 1] != '\0';
        le += value[i] != '\0' && value[i + 1] == '\0';
      }
      if (be != le) bigEndian = be > le;
      out += bigEndian ? "\xFE\xFF" : "\xFF\xFE";
      added = true;
    }
    out += value;
    if (last) break;
    out.append(2, '\0');
    start = end + 2;
  }
  if (added) *text = std::move(out);
  return added;
}

// A text frame marked UTF-16 whose values lack their byte-order mark, given
// back whole with the marks added; "" when the frame needs nothing (or is
// compressed, encrypted or grouped, which TagLib reads its own way).
std::string MendUtf16Frame(std::string_view frame, int major, bool tagUnsync) {
  const size_t headerLen = major == 2 ? 6 : 10;
  const unsigned char flags = major == 2 ? 0 : static_cast<unsigned char>(frame[9]);
  if (frame[0] != 'T' || (major == 3 && (flags & 0xE0)) || (major == 4 && (flags & 0x4C))) return {};
  const bool lengthField = major == 4 && (flags & 0x01);
  const bool unsync = major == 4 && (tagUnsync || (flags & 0x02));
  const size_t skip = headerLen + (lengthField ? 4 : 0);
  if (frame.size() <= skip || frame[skip] != '\x01') return {};
  std::string body(frame.substr(skip));
  if (unsync) body = UndoUnsync(body);
  std::string text = body.substr(1);
  if (!AddByteOrderMarks(&text)) return {};
  body = '\x01' + text;
  std::string stored = (lengthField ? SyncsafeBytes(body.size()) : "") + (unsync ? Unsync(body) : body);
  const size_t n = stored.size();
  std::string out(frame.substr(0, major == 2 ? 3 : 4));
  if (major == 2)
    out += {static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
  else if (major == 3)
    out += {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
            static_cast<char>(n)};
  else
    out += SyncsafeBytes(n);
  if (major != 2) out += frame.substr(8, 2);
  return out + stored;
}

// True when a compressed frame (its whole bytes) is encrypted, damaged or
// would inflate beyond the limit.
bool IsBomb(std::string_view frame, int major) {
  const unsigned char flags = static_cast<unsigned char>(frame[9]);
  std::string data(frame.substr(10));
  if (major == 4 && (flags & 0x02)) data = UndoUnsync(data);
  size_t skip = 0;
  if (major == 3) skip = 4 + ((flags & 0x20) ? 1 : 0) + ((flags & 0x40) ? 1 : 0);
  else skip = ((flags & 0x40) ? 1 : 0) + ((flags & 0x04) ? 1 : 0) + ((flags & 0x01) ? 4 : 0);
  const bool encrypted = major == 3 ? (flags & 0x40) : (flags & 0x04);
  return encrypted || skip > data.size() || !InflatesWithin(data.substr(skip), kMaxInflatedFrame);
}

// Looks over the frames of an ID3v2 tag for what TagLib reads wrong or would
// choke on, and plans a copy of the tag without it:
// - a 2.3 extended header (TagLib takes its size the 2.4 way and misses every frame);
// - frames of size zero and frames with an invalid identifier (TagLib stops
//   reading at them and loses every frame behind them);
// - UTF-16 text without a byte-order mark (TagLib reads it as empty);
// - compressed frames that would inflate beyond the limit (memory).
TagPlan PlanTag(int fd, size_t fileSize) {
  TagPlan plan;
  std::string& head = plan.head;
  std::string header;
  // No more than the file holds: a read that reaches its end costs a
  // second call to learn that there is nothing more.
  ReadAt(fd, 0, std::min(kHeadRead, fileSize), &head);
  if (!ReadAt(fd, head, 0, 10, &header) || header.compare(0, 3, "ID3") != 0) return plan;
  auto h = reinterpret_cast<const unsigned char*>(header.data());
  const int major = h[3];
  const uint32_t size = Syncsafe(h + 6);
  plan.tagLength = 10 + size + ((major == 4 && (h[5] & 0x10)) ? 10 : 0);
  if (size > kMaxTagSize) {
    plan.safe = false;  // too large to read: no ID3v2 tag
    return plan;
  }
  if (major < 2 || major > 4) return plan;
  std::string body;
  const bool bodyRead = ReadAt(fd, head, 10, size, &body);
  // Up to 2.3 the whole tag is unsynchronised at once (and TagLib undoes it
  // so); in 2.4 the flag means every frame is.
  const bool tagUnsync = h[5] & 0x80;
  const bool wholeTagUnsync = tagUnsync && major <= 3;
  const std::string frames = wholeTagUnsync ? UndoUnsync(body) : body;
  size_t pos = 0;
  bool mended = false;
  if ((h[5] & 0x40) && major >= 3) {  // extended header
    if (frames.size() < 4) return plan;
    auto p = reinterpret_cast<const unsigned char*>(frames.data());
    // 2.3 counts the size without its own four bytes and not synchsafe;
    // TagLib reads it the 2.4 way, so the copy goes without the header.
    pos = major == 3 ? 4 + size_t{Be32(p)} : Syncsafe(p);
    if (pos > frames.size()) return plan;
    mended = major == 3;
  }
  const size_t headerLen = major == 2 ? 6 : 10;
  const size_t first = pos;
  // The copy's frames; filled from the first frame that needs mending on.
  std::string out;
  bool copying = false;
  auto startCopy = [&] {
    if (!copying) out.assign(frames, first, pos - first);
    copying = mended = true;
  };
  while (pos + headerLen <= frames.size()) {
    auto f = reinterpret_cast<const unsigned char*>(frames.data() + pos);
    if (f[0] == 0) break;  // padding
    size_t len = major == 2 ? (size_t{f[3]} << 16) | (size_t{f[4]} << 8) | f[5]
                 : major == 4 ? Syncsafe(f + 4)
                              : Be32(f + 4);
    if (major == 4 && len > 127 && !IdAt(frames, pos + headerLen + len)) {
      // Some taggers write 2.4 sizes as plain numbers; TagLib then takes the
      // plain number when a frame follows there, and so do we.
      const size_t plain = Be32(f + 4);
      if (IdAt(frames, pos + headerLen + plain)) len = plain;
    }
    if (len > frames.size() - pos - headerLen) break;  // the sizes no longer fit
    const unsigned char flags = major == 2 ? 0 : f[9];
    const bool lengthField = major == 4 && (flags & 0x01);
    const bool compressed = major == 3 ? (flags & 0x80) : major == 4 && (flags & 0x08);
    const std::string_view frame = std::string_view(frames).substr(pos, headerLen + len);
    std::string mendedFrame;
    if (!ValidId(frame, major) || len <= (lengthField ? 4u : 0u) ||
        (compressed && IsBomb(frame, major))) {
      startCopy();  // left out
    } else if (!(mendedFrame = MendUtf16Frame(frame, major, tagUnsync)).empty()) {
      startCopy();
      out += mendedFrame;
    } else if (copying) {
      if (major == 4) {  // a size written as a plain number is stored as meant
        out += frame.substr(0, 4);
        out += SyncsafeBytes(len);
        out += frame.substr(8);
      } else {
        out += frame;
      }
    }
    pos += headerLen + len;
  }
  if (!mended) {
    // Kept, so that TagLib reads it from memory instead of opening the file
    // a second time (most of what a tag costs here is system calls).
    std::string footer;
    if (bodyRead && (plan.tagLength == 10 + body.size() ||
                     ReadAt(fd, head, 10 + body.size(), 10, &footer)))
      plan.wholeTag = header + body + footer;
    return plan;
  }
  if (!copying) out.assign(frames, first, pos - first);
  plan.safe = false;
  std::string newHeader = header;
  // No extended header and no footer in the copy; unsynchronisation undone
  // where it covered the whole tag.
  newHeader[5] = static_cast<char>(h[5] & (wholeTagUnsync ? 0x7F : 0xFF) & 0xAF);
  const std::string n = SyncsafeBytes(out.size());
  newHeader.replace(6, 4, n);
  plan.rewrittenTag = newHeader + out;
  return plan;
}

uint32_t Le32(const unsigned char* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The tags TagLib finds at the end of a file, as they stand there: an APE tag
// (read after ID3v2, before ID3v1), then a 128-byte ID3v1 tag. Nothing of the
// first `skip` bytes (the ID3v2 tag) is taken. What lies in `head` (the
// file's first bytes) is taken from there.
std::string TrailingTags(int fd, const std::string& head, size_t fileSize, size_t skip) {
  if (fileSize <= skip) return {};
  // The last bytes in one read: an ID3v1 tag and, before it or at the very
  // end, an APE tag's footer.
  std::string tail, v1, ape;
  const size_t n = std::min<size_t>(128 + 32, fileSize - skip);
  const size_t tailStart = fileSize - n;
  if (!ReadAt(fd, head, tailStart, n, &tail)) return {};
  size_t end = n;  // within `tail`
  if (end >= 128 && tail.compare(end - 128, 3, "TAG") == 0) {
    v1 = tail.substr(end - 128);
    end -= 128;
  }
  if (end >= 32 && tail.compare(end - 32, 8, "APETAGEX") == 0) {
    auto p = reinterpret_cast<const unsigned char*>(tail.data() + end - 32);
    // The size counts the items and the footer; a header may stand before them.
    size_t length = size_t{Le32(p + 12)} + ((Le32(p + 20) & 0x80000000u) ? 32 : 0);
    const size_t endInFile = tailStart + end;
    if (length >= 32 && length <= kMaxTagSize && endInFile - skip >= length)
      ReadAt(fd, head, endInFile - length, length, &ape);
  }
  return ape + v1;
}

std::optional<std::string> Nonempty(const TagLib::String& s) {
  if (s.isEmpty()) return std::nullopt;
  std::string u = s.to8Bit(true);
  if (u.empty()) return std::nullopt;
  return u;
}

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 3) return false;
  for (char c : s)
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

Mp3Tag FromFile(TagLib::MPEG::File& file) {
  Mp3Tag tag;
  if (!file.isValid()) return tag;
  TagLib::Tag* merged = file.tag();  // ID3v2 first, then APE, then ID3v1
  if (merged) {
    tag.title = Nonempty(merged->title());
    tag.text1 = Nonempty(merged->artist());
    tag.text2 = Nonempty(merged->album());
  }
  bool v2Genre = false;
  if (file.hasID3v2Tag()) {
    const auto& frames = file.ID3v2Tag()->frameListMap();
    auto it = frames.find("TCON");
    if (it != frames.end() && !it->second.isEmpty()) {
      v2Genre = true;
      for (auto* frame : it->second) {
        auto* text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame*>(frame);
        if (!text) continue;
        for (const TagLib::String& field : text->fieldList()) {
          std::string f = field.to8Bit(true);
          if (AllDigits(f)) {
            if (tag.genreNumber == 255) tag.genreNumber = std::stoi(f);
          } else if (!f.empty() && !tag.genreText) {
            tag.genreText = f;
          }
        }
      }
    }
  }
  if (!v2Genre && file.hasID3v1Tag()) tag.genreNumber = static_cast<int>(file.ID3v1Tag()->genreNumber());
  return tag;
}

// Reads the tags of the file open on `fd` (closed here) with the stat `st`.
Mp3Tag ReadTagTextsFrom(const std::string& path, int fd, const struct stat& st) {
  TagPlan plan = PlanTag(fd, static_cast<size_t>(st.st_size));
  // Where the tag and the end of the file could overlap, TagLib reads the file.
  if (static_cast<size_t>(st.st_size) < plan.tagLength + 128) plan.wholeTag.clear();
  if (plan.safe && plan.wholeTag.empty()) {
    close(fd);
    // Read-only: TagLib would otherwise open the file for writing, and its
    // close would look like a writer finishing the file.
    TagLib::FileStream stream(path.c_str(), true);
    if (!stream.isOpen()) return {};
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    return FromFile(file);
  }
  // Rebuild the file's tags in memory: the ID3v2 tag (mended where it had
  // to be), then the tags at the end of the file. TagLib finds what it would
  // find in the file: a tag at the start stops its search for one.
  std::string data = (plan.safe ? plan.wholeTag : plan.rewrittenTag) +
                     TrailingTags(fd, plan.head, static_cast<size_t>(st.st_size), plan.tagLength);
  close(fd);
  TagLib::ByteVectorStream stream(TagLib::ByteVector(data.data(), static_cast<unsigned>(data.size())));
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
  return FromFile(file);
}

}  // namespace

Mp3Tag ReadTagTexts(const std::string& path) {
  SilenceTagLib();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return {};
  }
  Mp3Tag tag = ReadTagTextsFrom(path, fd, st);  // closes fd
  tag.stamp = StampOf(st);
  return tag;
}

int ReadMp3Tag(const std::string& fullPath, const std::string& fallbackTitle, AudioRow* row,
               std::optional<FileStamp>* stamp) {
  Mp3Tag tag = ReadTagTexts(fullPath);
  if (stamp) *stamp = tag.stamp;
  row->Title = tag.title ? Utf8Lower(*tag.title) : fallbackTitle;
  row->TagText1 = tag.text1.value_or(kDefaultText);
  row->TagText2 = tag.text2.value_or(kDefaultText);
  if (const char* name = tag.genreNumber != 255 ? GenreName(tag.genreNumber) : nullptr)
    row->Genre = name;
  else
    row->Genre = tag.genreText.value_or(kDefaultText);
  row->Filename = fullPath;
  row->HasTag = 1;
  return 1;
}
