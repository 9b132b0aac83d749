// What the drop window decides about a drag, apart from any widget: the
// effect it shows, whether the drop counts as done, and which text of the
// drop is a link to a station playlist.
#pragma once

#include <string>
#include <vector>

// Drop effects, as bits: a drop may offer several.
enum DropEffect : unsigned {
  kDropNone = 0,
  kDropCopy = 1,
  kDropMove = 2,
};

enum class DragPhase { Enter, Over };

// The effect to show. Only text can be dropped. With Ctrl held, entering
// shows copy and moving shows none (such a drag cannot be dropped); without
// Ctrl both show move.
DropEffect DragEffect(DragPhase phase, bool offersText, bool ctrlHeld);

// The drop's own result: true when its effect includes move, whether or not
// a station was stored.
bool DropReportsSuccess(unsigned effect);

// The link of a dropped plain text: the text up to its first NUL byte, with
// surrounding blanks and line ends taken off (a browser may add a line end).
std::string LinkFromDroppedText(const std::string& text);

// The link of a dropped URL list (text/uri-list): its first line that is not
// a comment, without its line end; empty when there is none.
std::string LinkFromUriList(const std::string& list);

// The most links one drop gives: a larger selection is cut short there.
inline constexpr size_t kMaxLinksPerDrop = 100;

// Every link of a dropped URL list, in order, at most `max` of them;
// *more (when given) says how many were left out beyond that.
std::vector<std::string> LinksFromUriList(const std::string& list, size_t max = kMaxLinksPerDrop,
                                          size_t* more = nullptr);

// Text from the network or a drop made fit to show: C0 control characters,
// DEL and the bidirectional formatting characters (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069) are taken out, and text longer than
// `max` bytes is cut there (at a character's start) and ends in "...".
std::string DisplayText(const std::string& text, size_t max = std::string::npos);

// A link to a station playlist ends in "pls" (case matters: ".PLS" is not).
bool IsPlaylistLink(const std::string& link);

// The file name a link gives its download: the text after its last '=';
// empty when there is no '=' or nothing after it.
std::string FileNameFromLink(const std::string& link);
