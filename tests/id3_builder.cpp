#include "id3_builder.h"

#include <zlib.h>

#include <stdexcept>

namespace id3 {
namespace {

std::u16string Utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    int len;
    if (c < 0x80) { cp = c; len = 1; }
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
    else { cp = c & 0x07; len = 4; }
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string Latin1(const std::string& s) {
  std::string out;
  for (char16_t c : Utf16(s)) out += static_cast<char>(c <= 0xFF ? c : '?');
  return out;
}

std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string Syncsafe(uint32_t v) {
  return {static_cast<char>((v >> 21) & 0x7F), static_cast<char>((v >> 14) & 0x7F),
          static_cast<char>((v >> 7) & 0x7F), static_cast<char>(v & 0x7F)};
}

std::string Compress(const std::string& data) {
  uLongf len = compressBound(data.size());
  std::string out(len, '\0');
  if (compress(reinterpret_cast<Bytef*>(out.data()), &len,
               reinterpret_cast<const Bytef*>(data.data()), data.size()) != Z_OK)
    throw std::runtime_error("compress");
  out.resize(len);
  return out;
}

}  // namespace

std::string TextBody(const std::string& utf8, Encoding enc) {
  std::string body(1, static_cast<char>(enc));
  switch (enc) {
    case kLatin1: body += Latin1(utf8); break;
    case kUtf8: body += utf8; break;
    case kUtf16:
      body += "\xFF\xFE";
      for (char16_t c : Utf16(utf8)) {
        body += static_cast<char>(c & 0xFF);
        body += static_cast<char>(c >> 8);
      }
      break;
    case kUtf16BE:
      for (char16_t c : Utf16(utf8)) {
        body += static_cast<char>(c >> 8);
        body += static_cast<char>(c & 0xFF);
      }
      break;
  }
  return body;
}

Frame Text(const std::string& id, const std::string& utf8, Encoding enc) {
  return Frame{id, TextBody(utf8, enc)};
}

std::string Utf16BodyWithoutBom(const std::string& utf8, bool bigEndian) {
  std::string body = TextBody(utf8, kUtf16).substr(3);  // drop the encoding and the mark
  if (bigEndian)
    for (size_t i = 0; i + 1 < body.size(); i += 2) std::swap(body[i], body[i + 1]);
  return '\x01' + body;
}

std::string V2Tag(int major, const std::vector<Frame>& frames, const std::string& extendedHeader) {
  std::string body = extendedHeader;
  for (const Frame& f : frames) {
    if (major == 2) {
      uint32_t n = static_cast<uint32_t>(f.data.size());
      body += f.id.substr(0, 3);
      body += {static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
      body += f.data;
      continue;
    }
    std::string payload = f.data;
    std::string flags(2, '\0');
    flags[1] = static_cast<char>(f.formatFlags);
    if (f.compressed) {
      uint32_t announced = static_cast<uint32_t>(f.declaredSize ? f.declaredSize : f.data.size());
      if (major == 3) {
        flags[1] = static_cast<char>(0x80);
        payload = Be32(announced) + Compress(f.data);
      } else {
        flags[1] = static_cast<char>(0x08 | 0x01);
        payload = Syncsafe(announced) + Compress(f.data);
      }
    }
    uint32_t n = static_cast<uint32_t>(payload.size());
    body += f.id + (major == 4 ? Syncsafe(n) : Be32(n)) + flags + payload;
  }
  body += std::string(16, '\0');  // padding
  const char flags = extendedHeader.empty() ? '\0' : '\x40';
  return std::string("ID3") + static_cast<char>(major) + '\0' + flags +
         Syncsafe(static_cast<uint32_t>(body.size())) + body;
}

std::string V1Tag(const std::string& title, const std::string& artist, const std::string& album,
                  int genre) {
  auto field = [](std::string s, size_t n) {
    s.resize(n, '\0');
    return s;
  };
  return "TAG" + field(Latin1(title), 30) + field(Latin1(artist), 30) + field(Latin1(album), 30) +
         field("2004", 4) + field("", 30) + static_cast<char>(genre);
}

std::string ApeTag(const std::vector<std::pair<std::string, std::string>>& items) {
  auto le32 = [](uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
  };
  std::string body;
  for (const auto& [key, value] : items)
    body += le32(static_cast<uint32_t>(value.size())) + le32(0) + key + '\0' + value;
  const uint32_t size = static_cast<uint32_t>(body.size() + 32);  // items and footer
  auto frame = [&](uint32_t flags) {
    return "APETAGEX" + le32(2000) + le32(size) + le32(static_cast<uint32_t>(items.size())) +
           le32(flags) + std::string(8, '\0');
  };
  return frame(0xA0000000) + body + frame(0x80000000);  // header, then footer
}

std::string AudioFrames(size_t count) {
  std::string frame = std::string("\xFF\xFB\x90\x00", 4) + std::string(413, '\0');
  std::string out;
  for (size_t i = 0; i < count; ++i) out += frame;
  return out;
}

}  // namespace id3
