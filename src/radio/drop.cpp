#include "radio/drop.h"

#include <cstring>

DropEffect DragEffect(DragPhase phase, bool offersText, bool ctrlHeld) {
  if (!offersText) return kDropNone;
  if (!ctrlHeld) return kDropMove;
  return phase == DragPhase::Enter ? kDropCopy : kDropNone;
}

bool DropReportsSuccess(unsigned effect) { return (effect & kDropMove) != 0; }

namespace {

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return {};
  size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

}  // namespace

std::string LinkFromDroppedText(const std::string& text) {
  return Trimmed(text.substr(0, text.find('\0')));
}

std::string LinkFromUriList(const std::string& list) {
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find('\n', start);
    if (end == std::string::npos) end = list.size();
    std::string line = LinkFromDroppedText(list.substr(start, end - start));
    if (!line.empty() && line[0] != '#') return line;
    start = end + 1;
  }
  return {};
}

std::vector<std::string> LinksFromUriList(const std::string& list, size_t max, size_t* more) {
  std::vector<std::string> links;
  size_t left = 0;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find('\n', start);
    if (end == std::string::npos) end = list.size();
    std::string line = LinkFromDroppedText(list.substr(start, end - start));
    if (!line.empty() && line[0] != '#') {
      if (links.size() < max) links.push_back(std::move(line));
      else ++left;
    }
    start = end + 1;
  }
  if (more) *more = left;
  return links;
}

namespace {

// The length of the formatting character at `p` (UTF-8), or 0.
size_t BidiFormatLength(const unsigned char* p, size_t n) {
  if (n >= 2 && p[0] == 0xD8 && p[1] == 0x9C) return 2;  // U+061C
  if (n < 3 || p[0] != 0xE2) return 0;
  if (p[1] == 0x80 && (p[2] == 0x8E || p[2] == 0x8F || (p[2] >= 0xAA && p[2] <= 0xAE))) return 3;
  if (p[1] == 0x81 && p[2] >= 0xA6 && p[2] <= 0xA9) return 3;
  return 0;
}

}  // namespace

std::string DisplayText(const std::string& text, size_t max) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    if (p[i] < 0x20 || p[i] == 0x7F) {
      ++i;
      continue;
    }
    if (size_t skip = BidiFormatLength(p + i, n - i)) {
      i += skip;
      continue;
    }
    // Cut only before a character's first byte.
    if (out.size() >= max && (p[i] & 0xC0) != 0x80) return out + "...";
    out += static_cast<char>(p[i++]);
  }
  return out;
}

bool IsPlaylistLink(const std::string& link) {
  return link.size() >= 3 && link.compare(link.size() - 3, 3, "pls") == 0;
}

std::string FileNameFromLink(const std::string& link) {
  size_t equals = link.rfind('=');
  return equals == std::string::npos ? std::string() : link.substr(equals + 1);
}
