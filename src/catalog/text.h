// Text helpers for values that go into the catalogue.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// `text` cut so that it fits a field of `fieldSize` bytes with its terminator,
// never in the middle of a UTF-8 character.
std::string FitField(std::string_view text, size_t fieldSize);

// `text` with every `quote` doubled, ready to stand between two such quotes.
std::string SqlEscape(std::string_view text, char quote);

// A quoted LIKE argument matching `folder` (which ends with '/') and every path
// below it, and nothing else: '%' and '_' in the path match only themselves.
// Matching is case-sensitive because every connection sets case_sensitive_like.
std::string FolderLikeArgument(std::string_view folder);
// The names that begin with `prefix` sort (bytewise, as the catalogue's
// indexes do) from it up to, not including, the returned name; nothing when
// there is no such end (a prefix of 0xFF bytes alone, or none).
std::optional<std::string> PrefixEnd(std::string prefix);

// A quoted LIKE argument matching exactly `path`, byte for byte.
std::string ExactLikeArgument(std::string_view path);

// Unicode-aware lower-casing of UTF-8 text. Bytes that are not valid UTF-8 are
// kept as they are, ASCII letters among them lower-cased.
std::string Utf8Lower(std::string_view text);
