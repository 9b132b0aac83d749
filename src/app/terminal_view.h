// How the sharing engine shows itself on the command line: a one-line
// progress on a terminal (nothing when standard error is not one), messages
// and warnings on standard error.
#pragma once

#include <chrono>
#include <mutex>

#include "shares/share_view.h"

class TerminalView : public ShareView {
 public:
  TerminalView();
  bool ShowsProgress() const override { return tty_; }
  void CreateProgress(int range) override;
  void SetProgress(int position) override;
  void DestroyProgress() override;
  void ShowWaitingLabel(const std::string& text) override;
  void HideWaitingLabel() override;
  void ShowMessage(const std::string& text) override;
  void Warn(const std::string& text) override;

 private:
  void Line(const std::string& text);
  std::mutex mutex_;
  bool tty_;
  bool lineShown_ = false;
  int range_ = 0;
  std::chrono::steady_clock::time_point last_;
};
