// Builds MP3 files with ID3v1 and ID3v2.2/2.3/2.4 tags, byte by byte, for the
// tests and the scan benchmark.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace id3 {

enum Encoding { kLatin1 = 0, kUtf16 = 1, kUtf16BE = 2, kUtf8 = 3 };

struct Frame {
  std::string id;    // "TIT2" (or "TT2" in a 2.2 tag)
  std::string data;  // the frame body as stored
  bool compressed = false;
  size_t declaredSize = 0;  // compressed frames: the size announced (0: the real one)
  unsigned char formatFlags = 0;  // the second flag byte, for data already stored that way
};

// A text frame body: encoding byte + text converted from UTF-8.
std::string TextBody(const std::string& utf8, Encoding enc);
Frame Text(const std::string& id, const std::string& utf8, Encoding enc = kLatin1);
// A text frame body marked UTF-16 (encoding byte 1) but without a byte-order
// mark, as some encoders write it.
std::string Utf16BodyWithoutBom(const std::string& utf8, bool bigEndian = false);

// An ID3v2 tag of the given major version (2, 3 or 4); a non-empty
// `extendedHeader` is stored as it stands, and the header says it is there.
std::string V2Tag(int major, const std::vector<Frame>& frames,
                  const std::string& extendedHeader = "");
// An APE tag (header and footer) holding the given key/value items.
std::string ApeTag(const std::vector<std::pair<std::string, std::string>>& items);
// A 128-byte ID3v1 tag.
std::string V1Tag(const std::string& title, const std::string& artist, const std::string& album,
                  int genre);
// A few bytes that look like MPEG audio frames.
std::string AudioFrames(size_t count = 4);

}  // namespace id3
