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

bool IsPlaylistLink(const std::string& link) {
  return link.size() >= 3 && link.compare(link.size() - 3, 3, "pls") == 0;
}

std::string FileNameFromLink(const std::string& link) {
  size_t equals = link.rfind('=');
  return equals == std::string::npos ? std::string() : link.substr(equals + 1);
}
