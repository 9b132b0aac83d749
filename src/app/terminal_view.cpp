#include "app/terminal_view.h"

#include <unistd.h>

#include <cstdio>

TerminalView::TerminalView() : tty_(isatty(STDERR_FILENO) == 1) {}

void TerminalView::Line(const std::string& text) {
  if (!tty_) return;
  fprintf(stderr, "\r\033[K%s", text.c_str());
  fflush(stderr);
  lineShown_ = !text.empty();
}

void TerminalView::CreateProgress(int range) {
  std::lock_guard lock(mutex_);
  range_ = range;
  last_ = {};
}

void TerminalView::SetProgress(int position) {
  if (!tty_) return;
  std::lock_guard lock(mutex_);
  auto now = std::chrono::steady_clock::now();
  if (position != range_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  Line("scanned " + std::to_string(position) + " of " + std::to_string(range_) + " files");
}

void TerminalView::DestroyProgress() {
  std::lock_guard lock(mutex_);
  Line("");
}

void TerminalView::ShowWaitingLabel(const std::string& text) {
  std::lock_guard lock(mutex_);
  Line(text);
}

void TerminalView::HideWaitingLabel() {
  std::lock_guard lock(mutex_);
  Line("");
}

void TerminalView::ShowMessage(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (lineShown_) Line("");
  fprintf(stderr, "%s\n", text.c_str());
}

void TerminalView::Warn(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (lineShown_) Line("");
  fprintf(stderr, "tarvel: %s\n", text.c_str());
}
