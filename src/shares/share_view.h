// How the sharing engine shows itself: the page's buttons, its waiting label,
// its progress bar, its list and its message boxes. The engine calls these
// from whichever thread runs the operation (an Add runs on its own worker); a
// view that owns widgets must hand the calls over to its user-interface thread.
#pragma once

#include <string>

class ShareView {
 public:
  virtual ~ShareView() = default;
  virtual void SetButtonsEnabled(bool /*enabled*/) {}
  virtual void ShowWaitingLabel(const std::string& /*text*/) {}
  virtual void HideWaitingLabel() {}
  // Whether the view shows how far a walk has come. When it does not, the
  // files are not counted before the walk: a whole walk of the tree that
  // nobody would see the result of.
  virtual bool ShowsProgress() const { return true; }
  virtual void CreateProgress(int /*range*/) {}
  virtual void SetProgress(int /*position*/) {}
  virtual void DestroyProgress() {}
  virtual void ItemInserted(int /*index*/, const std::string& /*text*/) {}
  virtual void ItemRemoved(int /*index*/) {}
  virtual void ItemsCleared() {}
  virtual void ShowMessage(const std::string& /*text*/) {}
  // The change monitor's problems (lost events, folders it cannot watch).
  virtual void Warn(const std::string& /*text*/) {}
};
