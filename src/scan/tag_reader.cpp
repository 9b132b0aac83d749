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

#include <cctype>
#include <memory>
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

std::string Unsynchronise(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    out += in[i];
    if (static_cast<unsigned char>(in[i]) == 0xFF && i + 1 < in.size() && in[i + 1] == '\0') ++i;
  }
  return out;
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

// What the guard decided about a file's ID3v2 tag.
struct TagPlan {
  bool safe = true;          // hand the file to TagLib as it is
  std::string rewrittenTag;  // otherwise: the tag to use in its place ("" = none)
  size_t tagLength = 0;      // bytes of the original tag at the start of the file
};

// Looks at the frames of an ID3v2.3/2.4 tag for compressed frames that would
// inflate beyond the limit and plans a copy of the tag without them.
TagPlan PlanTag(int fd) {
  TagPlan plan;
  std::string header;
  if (!ReadAt(fd, 0, 10, &header) || header.compare(0, 3, "ID3") != 0) return plan;
  auto h = reinterpret_cast<const unsigned char*>(header.data());
  const int major = h[3];
  const uint32_t size = Syncsafe(h + 6);
  plan.tagLength = 10 + size + ((major == 4 && (h[5] & 0x10)) ? 10 : 0);
  if (size > kMaxTagSize) {
    plan.safe = false;  // too large to read: no ID3v2 tag
    return plan;
  }
  if (major != 3 && major != 4) return plan;  // 2.2 has no compression
  std::string body;
  ReadAt(fd, 10, size, &body);
  const bool wholeTagUnsync = (h[5] & 0x80) && major == 3;
  std::string frames = wholeTagUnsync ? Unsynchronise(body) : body;
  size_t pos = 0;
  if (h[5] & 0x40) {  // extended header
    if (frames.size() < 4) return plan;
    auto p = reinterpret_cast<const unsigned char*>(frames.data());
    pos = major == 3 ? 4 + Be32(p) : Syncsafe(p);
  }
  std::vector<size_t> bombs;  // offsets (in `frames`) of frames to drop
  while (pos + 10 <= frames.size()) {
    auto f = reinterpret_cast<const unsigned char*>(frames.data() + pos);
    if (f[0] == 0) break;  // padding
    uint32_t len = major == 4 ? Syncsafe(f + 4) : Be32(f + 4);
    if (len > frames.size() - pos - 10) break;
    const bool compressed = major == 3 ? (f[9] & 0x80) : (f[9] & 0x08);
    if (compressed) {
      std::string data = frames.substr(pos + 10, len);
      if (major == 4 && (f[9] & 0x02)) data = Unsynchronise(data);
      size_t skip = 0;
      if (major == 3) skip = 4 + ((f[9] & 0x20) ? 1 : 0) + ((f[9] & 0x40) ? 1 : 0);
      else skip = ((f[9] & 0x40) ? 1 : 0) + ((f[9] & 0x04) ? 1 : 0) + ((f[9] & 0x01) ? 4 : 0);
      bool encrypted = major == 3 ? (f[9] & 0x40) : (f[9] & 0x04);
      if (encrypted || skip > data.size() ||
          !InflatesWithin(data.substr(skip), kMaxInflatedFrame))
        bombs.push_back(pos);
    }
    pos += 10 + len;
  }
  if (bombs.empty()) return plan;
  plan.safe = false;
  // Rename each such frame to one nobody reads and clear its compression flag,
  // so it is skipped as raw data. (The frame layout is taken from the
  // resynchronised copy, so the copy is what gets handed on.)
  for (size_t at : bombs) {
    frames.replace(at, 4, "XBMB");
    frames[at + 9] = static_cast<char>(frames[at + 9] & (major == 3 ? 0x1F : 0xF3));
  }
  std::string newHeader = header;
  newHeader[5] = static_cast<char>(h[5] & (wholeTagUnsync ? 0x7F : 0xFF) & 0xEF);  // no footer
  uint32_t n = static_cast<uint32_t>(frames.size());
  newHeader[6] = static_cast<char>((n >> 21) & 0x7F);
  newHeader[7] = static_cast<char>((n >> 14) & 0x7F);
  newHeader[8] = static_cast<char>((n >> 7) & 0x7F);
  newHeader[9] = static_cast<char>(n & 0x7F);
  plan.rewrittenTag = newHeader + frames;
  return plan;
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
  TagPlan plan = PlanTag(fd);
  Mp3Tag result;
  if (plan.safe) {
    close(fd);
    // Read-only: TagLib would otherwise open the file for writing, and its
    // close would look like a writer finishing the file.
    TagLib::FileStream stream(path.c_str(), true);
    if (!stream.isOpen()) return {};
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    return FromFile(file);
  }
  // Rebuild the file's tags in memory: the guarded ID3v2 tag, then the last
  // 128 bytes so that an ID3v1 tag is still found.
  std::string data = plan.rewrittenTag;
  std::string tail;
  if (st.st_size >= 128 && static_cast<size_t>(st.st_size) >= plan.tagLength + 128 &&
      ReadAt(fd, st.st_size - 128, 128, &tail) && tail.compare(0, 3, "TAG") == 0)
    data += tail;
  close(fd);
  TagLib::ByteVectorStream stream(TagLib::ByteVector(data.data(), static_cast<unsigned>(data.size())));
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
  return FromFile(file);
}

int ReadMp3Tag(const std::string& fullPath, const std::string& fallbackTitle, AudioRow* row) {
  Mp3Tag tag = ReadTagTexts(fullPath);
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
