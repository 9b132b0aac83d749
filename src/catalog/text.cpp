#include "catalog/text.h"

#include <QChar>

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when invalid.
size_t Utf8SequenceLength(std::string_view s, size_t i, char32_t* cp) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  size_t len;
  char32_t v;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    v = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    v = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    v = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i + k) & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string FitField(std::string_view text, size_t fieldSize) {
  if (fieldSize == 0) return {};
  size_t limit = fieldSize - 1;
  if (text.size() <= limit) return std::string(text);
  // Walk whole characters; an invalid byte counts as a character of its own.
  size_t end = 0;
  while (end < text.size()) {
    char32_t cp;
    size_t len = Utf8SequenceLength(text, end, &cp);
    if (len == 0) len = 1;
    if (end + len > limit) break;
    end += len;
  }
  return std::string(text.substr(0, end));
}

std::string SqlEscape(std::string_view text, char quote) {
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    out += c;
    if (c == quote) out += c;
  }
  return out;
}

namespace {

std::string LikeArgument(std::string_view literal, bool withDescendants) {
  std::string out = "'";
  for (char c : literal) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
    if (c == '\'') out += '\'';
  }
  out += withDescendants ? "%' ESCAPE '\\'" : "' ESCAPE '\\'";
  return out;
}

}  // namespace

std::string FolderLikeArgument(std::string_view folder) { return LikeArgument(folder, true); }

std::string ExactLikeArgument(std::string_view path) { return LikeArgument(path, false); }

std::optional<std::string> PrefixEnd(std::string prefix) {
  while (!prefix.empty() && static_cast<unsigned char>(prefix.back()) == 0xFF) prefix.pop_back();
  if (prefix.empty()) return std::nullopt;
  prefix.back() = static_cast<char>(static_cast<unsigned char>(prefix.back()) + 1);
  return prefix;
}

std::string Utf8Lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp;
    size_t len = Utf8SequenceLength(text, i, &cp);
    if (len == 0) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      out += static_cast<char>(c);  // not UTF-8: kept byte for byte
      ++i;
      continue;
    }
    if (len == 1) {
      char c = text[i];
      out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    } else {
      AppendUtf8(out, QChar::toLower(cp));
    }
    i += len;
  }
  return out;
}
